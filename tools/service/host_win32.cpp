// The service's host on Windows: the console's interrupts, or the service control manager.
#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <type_traits>

#include "common/interrupts.hpp"
#include "host.hpp"
#include "journal.hpp"

namespace Wsr37100::service {

namespace {

constexpr std::chrono::milliseconds kProgressEvery{500};

std::wstring wide(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), length);
    out.resize(out.size() - 1);
    return out;
}

// The Windows Event Log's Application log, from the event source named as the service. The program's
// own message table (events.mc) describes each event as its text alone; the source's registry key
// names the program as its message file, so that Event Viewer finds it.
class EventSource final : public EventLog {
public:
    explicit EventSource(const std::wstring& name) {
        name_message_file(name);
        handle_ = ::RegisterEventSourceW(nullptr, name.c_str());
    }
    ~EventSource() {
        if (handle_ != nullptr) ::DeregisterEventSource(handle_);
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    void report(Event event, Level level, const std::string& text) override {
        if (handle_ == nullptr) return;
        const std::wstring message = wide(text);
        const wchar_t* strings[] = {message.c_str()};
        const WORD type = level == Level::error     ? EVENTLOG_ERROR_TYPE
                          : level == Level::warning ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_INFORMATION_TYPE;
        ::ReportEventW(handle_, type, 0, static_cast<DWORD>(event), nullptr, 1, 0, strings, nullptr);
    }

private:
    // Where the service runs as an account that may not write there, the key stays as it is; Event
    // Viewer then shows each event's text after "The description for Event ID ... cannot be found".
    static void name_message_file(const std::wstring& name) {
        std::wstring program(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
            if (length == 0) return;
            if (length < program.size()) {
                program.resize(length);
                break;
            }
            program.resize(program.size() * 2);
        }
        HKEY key = nullptr;
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return;
        }
        const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&::RegCloseKey)> owned(key, &::RegCloseKey);
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                         static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
        ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    }

    HANDLE handle_ = nullptr;
};

using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&::CloseHandle)>;

// One run under the service control manager: its status and the stop it asks for.
class WindowsService {
public:
    WindowsService(std::wstring name, const Body& body) : name_(std::move(name)), body_(body) {}

    // On the thread the manager starts for the service (ServiceMain's).
    void main() {
        HANDLE thread = nullptr;
        if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread, SYNCHRONIZE,
                              FALSE, 0)) {
            thread_.store(thread);
        }
        EventSource event_log(name_);
        const Journal journal(event_log);
        handle_ = ::RegisterServiceCtrlHandlerExW(name_.c_str(), &WindowsService::control, this);
        if (handle_ == nullptr) {
            journal.say(Event::failed, Level::error,
                        "the service control manager refused the handler: error " + std::to_string(::GetLastError()));
            exit_status_ = 1;
            return;
        }
        report(SERVICE_START_PENDING, 0);
        // While the service stops, the manager is told it makes progress, twice a second.
        std::jthread progress([this](std::stop_token done) {
            std::unique_lock held(lock_);
            if (!woken_.wait(held, done, [this] { return stop_requested_; })) return;
            for (DWORD checkpoint = 1; !done.stop_requested(); ++checkpoint) {
                report(SERVICE_STOP_PENDING, 0, checkpoint);
                woken_.wait_for(held, done, kProgressEvery, [] { return false; });
            }
        });
        bool running = false;
        exit_status_ = body_(
            [this, &running](std::chrono::milliseconds duration) {
                if (!running) report(SERVICE_RUNNING, 0);
                running = true;
                std::unique_lock held(lock_);
                return !woken_.wait_for(held, duration, [this] { return stop_requested_; });
            },
            journal);
        progress.request_stop();
        progress.join();
        report(SERVICE_STOPPED, static_cast<DWORD>(exit_status_));
    }

    // Once the dispatcher has returned: the dispatcher returns as soon as the service reports it stopped,
    // while ServiceMain's thread still unwinds (the report's lock, the event source). This run and the
    // process must outlive that thread; should the dispatcher have failed while the body still serves,
    // the body is told to stop first. Returns the body's exit status.
    int finish() {
        request_stop();
        const Handle thread(thread_.exchange(nullptr), &::CloseHandle);
        if (thread) ::WaitForSingleObject(thread.get(), INFINITE);
        return exit_status_;
    }

private:
    void request_stop() {
        {
            std::lock_guard guard(lock_);
            stop_requested_ = true;
        }
        woken_.notify_all();
    }

    static DWORD WINAPI control(DWORD code, DWORD, void*, void* context) {
        auto* service = static_cast<WindowsService*>(context);
        switch (code) {
            case SERVICE_CONTROL_STOP:
            case SERVICE_CONTROL_SHUTDOWN:
                service->report(SERVICE_STOP_PENDING, 0);
                service->request_stop();
                return NO_ERROR;
            case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
            default: return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    void report(DWORD state, DWORD exit_code, DWORD checkpoint = 0) {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = exit_code;
        status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
        status.dwCheckPoint = checkpoint;
        std::lock_guard guard(report_lock_);
        ::SetServiceStatus(handle_, &status);
    }

    std::wstring name_;
    const Body& body_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    std::mutex lock_;
    std::mutex report_lock_;
    std::condition_variable_any woken_;
    bool stop_requested_ = false;
    int exit_status_ = 0;
    std::atomic<HANDLE> thread_{nullptr};  // ServiceMain's, for finish() to wait on
};

// The service control manager calls ServiceMain with no context of its own,
// so the one run of this process is found here; it is set only for the
// duration of run_as_windows_service.
WindowsService* the_service = nullptr;

void WINAPI service_main(DWORD, LPWSTR*) {
    if (the_service != nullptr) the_service->main();
}

}  // namespace

void give_back_memory() { ::_heapmin(); }

int run_in_console(const Body& body) {
    const common::Interrupts interrupts;
    return body([&interrupts](std::chrono::milliseconds duration) { return interrupts.sleep_for(duration); }, Journal());
}

bool windows_services_supported() { return true; }

int run_as_windows_service(const std::string& name, const Body& body) {
    WindowsService service(wide(name), body);
    the_service = &service;
    std::wstring service_name = wide(name);
    SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), &service_main}, {nullptr, nullptr}};
    const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
    const DWORD error = dispatched ? 0 : ::GetLastError();
    const int exit_status = service.finish();
    the_service = nullptr;
    if (!dispatched) {
        say(Level::error, error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                              ? "--windows-service: not started by the service control manager (sc start)"
                              : "--windows-service: the service control manager failed: error " + std::to_string(error));
        return 1;
    }
    return exit_status;
}

}  // namespace Wsr37100::service
