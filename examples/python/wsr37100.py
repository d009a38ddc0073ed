#!/usr/bin/env python3
"""ctypes bindings for the wsr37100 scale library, and a one-reading script.

    python3 -m wsr37100 /dev/ttyUSB0 9600      # prints "12.345 kg" (--help: what else it says)

    import wsr37100
    scale = wsr37100.Library()                 # or Library("/path/to/libwsr37100.so.6")
    try:
        print(scale.weigh("/dev/ttyUSB0", "9600"))  # 12.345: only ever a weight
    except wsr37100.NoReading as no:            # unstable, negative, overload, unreadable, or no reading at all
        print(no)                               # "no weight: unreadable reply: not a weight, check the baud rate"
    reading = scale.busca_peso_ex("COM1", "9600", log_folder="/var/log/loja", gap_ms=20)
    if reading.kind == "weight":                # never ring up reading.weight without this check
        print(reading.weight)
    found = scale.detect("/dev/ttyUSB0")        # which rate and frame the scale on a port uses
    if found.result == "found":
        print(found.baud, found.frame)

The library is looked for, in turn: at the path in the environment variable
WSR37100_LIBRARY; in the build tree beside this file (build/native/lib, on
Windows build/win64/bin or build/win32/bin); installed, where the system's
loader finds it (ldconfig's cache, /usr/local/lib, PATH on Windows).

Texts go to the library as Windows-1252, the module's own encoding, and its
messages come back decoded from it.
"""
import argparse
import ctypes
import ctypes.util
import dataclasses
import os
import queue
import sys

PESO, STATUS, SEM_LEITURA, FALHA = 0, 1, 2, 3
KINDS = {PESO: "weight", STATUS: "status", SEM_LEITURA: "no-reading", FALHA: "failure"}
REASONS = {0: None, 1: "port-unavailable", 2: "poll-failed", 3: "silence", 4: "partial-replies"}
STATUSES = {"I": "unstable", "N": "negative", "S": "overload", None: "unreadable"}
STATUS_TEXTS = {"unstable": "status I: unstable, the weight is in motion", "negative": "status N: negative, below zero",
                "overload": "status S: overload, above capacity",
                "unreadable": "unreadable reply: not a weight, check the baud rate"}
STX, ETX, BLANK = 0x02, 0x03, 0x20
CAUSES = {0: None, 1: "missing", 2: "permission", 3: "busy", 4: "settings-refused", 5: "name-refused", 6: "other",
          7: "host-not-found", 8: "connection-refused", 9: "connect-timeout", 10: "connection-dropped"}
RESULTS = {0: "found", 1: "not-found", 2: "port-unavailable", 3: "no-rate-to-set", 4: "timed-out"}
HEARD = {0: None, 1: "frame", 2: "garbage", 3: "silence", 4: "rate-refused", 5: "failed", 6: "unanswered"}
DETECTION_REFUSED = 5
LOG_DEFAULT, LOG_FOLDER, LOG_NONE = 0, 1, 2
MESSAGE_MAX = 512


class WsrOpcoes(ctypes.Structure):
    _fields_ = [("tamanho", ctypes.c_uint32), ("log", ctypes.c_uint32), ("pasta_log", ctypes.c_char_p),
                ("intervalo_ms", ctypes.c_uint32), ("espera_estavel_ms", ctypes.c_uint32),
                ("leituras_iguais", ctypes.c_uint32), ("quadro", ctypes.c_uint32),
                ("limite_log_mb", ctypes.c_uint32)]


class WsrLeitura(ctypes.Structure):
    _fields_ = [("tamanho", ctypes.c_uint32), ("tipo", ctypes.c_int32), ("peso", ctypes.c_double),
                ("motivo", ctypes.c_int32), ("consultas", ctypes.c_int32), ("bytes_resposta", ctypes.c_int32),
                ("resposta", ctypes.c_ubyte * 8), ("mensagem", ctypes.c_char * MESSAGE_MAX),
                ("causa", ctypes.c_int32), ("erro_sistema", ctypes.c_int32), ("estavel", ctypes.c_int32),
                ("numero", ctypes.c_int32)]


class WsrDeteccao(ctypes.Structure):
    _fields_ = [("tamanho", ctypes.c_uint32), ("resultado", ctypes.c_int32), ("velocidade", ctypes.c_int32),
                ("quadro", ctypes.c_int32), ("tipo", ctypes.c_int32), ("causa", ctypes.c_int32),
                ("peso", ctypes.c_double), ("erro_sistema", ctypes.c_int32), ("velocidades_testadas", ctypes.c_int32),
                ("resposta", ctypes.c_ubyte * 8), ("mensagem", ctypes.c_char * MESSAGE_MAX),
                ("veredito", ctypes.c_int32), ("bytes_lidos", ctypes.c_int32)]


@dataclasses.dataclass(frozen=True)
class Detection:
    result: str          # "found", "not-found", "port-unavailable", "no-rate-to-set" (raw tcp://) or "timed-out"
    baud: int            # with "found": the rate the scale answers at
    frame: int           # with "found": 7 or 8, what busca_peso_ex's frame takes
    kind: str | None     # with "found": "weight" or "status", what the scale said
    weight: float | None  # with "found" and kind "weight": the weight in kg; None for anything else
    cause: str | None    # with "port-unavailable": missing, busy, permission, ...
    rates_tried: int
    reply: bytes         # with "found": the last frame
    message: str         # the module's text (Portuguese): what each rate gave, or why nothing was tried
    heard: str | None = None  # what the last rate tried gave: "frame", "garbage", "silence", "rate-refused",
    #                           "failed" or "unanswered"; None when no rate was tried
    bytes_read: int = 0  # the bytes that rate's deciding poll received


@dataclasses.dataclass(frozen=True)
class Reading:
    kind: str            # "weight", "status" or "no-reading"
    weight: float | None  # for "weight": kg (0.0 an empty platter); None for a status, no reading or a failure
    reason: str | None   # for "no-reading": port-unavailable, poll-failed, silence, partial-replies
    cause: str | None    # why a port could not be had (missing, busy, connection-refused, ...), or a connection dropped
    polls: int
    reply: bytes         # the last reply's bytes
    message: str         # the module's text (Portuguese), e.g. why the port could not be opened
    stable: bool = False  # with stable_ms: the wait ended on a settled answer
    status: str | None = None  # for "status": unstable, negative, overload, or unreadable (check the baud rate)


class ScaleError(RuntimeError):
    """A failure of the library (the log not writable, the baud text not a number) or a refused call."""


class NoReading(ScaleError):
    """weigh() had no weight to give: the scale answered a status (unstable, negative, overload) or
    nothing usable (no reading). .reading tells which and why."""

    def __init__(self, reading):
        super().__init__("no weight: " + _described(reading))
        self.reading = reading


def _described(reading):
    """What came instead of a weight, in words and without a number: "status N: negative, below zero",
    "unreadable reply: not a weight, check the baud rate", "no-reading (silence)"."""
    if reading.kind == "status":
        return STATUS_TEXTS[reading.status]
    what = ", ".join(word for word in (reading.reason, reading.cause) if word)
    return f"{reading.kind} ({what})" + (f": {reading.message}" if reading.message else "")


def _letter(result):
    """The letter behind a status record, "I", "N" or "S"; None for an unreadable reply. -1 is both an
    unstable scale and a reply that is neither a number nor a letter (most often a wrong baud rate): the
    reply's bytes tell them apart as the library reads them, in a 7-byte reply the second byte, in an
    8-byte one the first above blank after the last STX, before its ETX, up to the first zero byte."""
    if result.peso in (-2.0, -10.0):
        return "N" if result.peso == -2.0 else "S"
    reply = bytes(result.resposta[:result.bytes_resposta])
    text = reply.split(b"\0", 1)[0]
    if len(reply) == 7:
        first = text[1:2]
    elif len(reply) == 8:
        after = text[text.rfind(bytes([STX])) + 1:].split(bytes([ETX]), 1)[0]
        first = after.lstrip(bytes(range(BLANK + 1)))[:1]
    else:
        first = b""
    return "I" if first == b"I" else None


def _text(value):
    return None if value is None else value.encode("cp1252")


def _candidates():
    named = os.environ.get("WSR37100_LIBRARY")
    if named:
        return [named]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if sys.platform == "win32":
        arch = "win64" if ctypes.sizeof(ctypes.c_void_p) == 8 else "win32"
        built, system = os.path.join(root, "build", arch, "bin", "wsr37100.dll"), "wsr37100.dll"
    else:
        built, system = os.path.join(root, "build", "native", "lib", "libwsr37100.so.6"), "libwsr37100.so.6"
    found = [built] if os.path.exists(built) else []
    return found + [ctypes.util.find_library("wsr37100") or system]


_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
# The monitor's callback: __stdcall on 32-bit Windows, like the exports.
_ON_CHANGE = (ctypes.WINFUNCTYPE if _STDCALL else ctypes.CFUNCTYPE)(None, ctypes.POINTER(WsrLeitura), ctypes.c_void_p)


def _options(log_folder=None, gap_ms=0, stable_ms=0, equal=0, frame=0, log_limit_mb=0):
    return WsrOpcoes(ctypes.sizeof(WsrOpcoes), LOG_FOLDER if log_folder else LOG_NONE, _text(log_folder),
                     gap_ms, stable_ms, equal, frame, log_limit_mb)


def _reading(result):
    message = result.mensagem.decode("cp1252", errors="replace")
    no_reading = result.tipo == SEM_LEITURA
    return Reading(KINDS[result.tipo], result.peso if result.tipo == PESO else None, REASONS.get(result.motivo) if no_reading else None,
                   CAUSES.get(result.causa) if no_reading else None,
                   result.consultas, bytes(result.resposta[:result.bytes_resposta]), message, bool(result.estavel),
                   STATUSES[_letter(result)] if result.tipo == STATUS else None)


class Library:
    def __init__(self, path=None):
        loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL
        errors = []
        for candidate in [path] if path else _candidates():
            try:
                self._lib = loader(candidate)
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise OSError("libwsr37100 not found (set WSR37100_LIBRARY to its path): " + "; ".join(errors))
        self._lib.BuscaPeso.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._lib.BuscaPeso.restype = ctypes.c_double
        self._lib.StartBalanca.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._lib.StartBalanca.restype = ctypes.c_bool
        self._lib.BuscaPesoEx.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(WsrOpcoes),
                                          ctypes.POINTER(WsrLeitura)]
        self._lib.BuscaPesoEx.restype = ctypes.c_int32
        self._lib.WsrMonitorInicia.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(WsrOpcoes),
                                               _ON_CHANGE, ctypes.c_void_p]
        self._lib.WsrMonitorInicia.restype = ctypes.c_void_p
        self._lib.WsrMonitorEncerra.argtypes = [ctypes.c_void_p]
        self._lib.WsrMonitorEncerra.restype = None
        self._lib.WsrVersao.restype = ctypes.c_char_p
        self._lib.WsrDetecta.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32,
                                         ctypes.POINTER(WsrDeteccao)]
        self._lib.WsrDetecta.restype = ctypes.c_int32
        self._lib.WsrLogDescartadas.argtypes = [ctypes.POINTER(WsrOpcoes), ctypes.POINTER(ctypes.c_uint64),
                                                ctypes.c_char_p, ctypes.c_uint32]
        self._lib.WsrLogDescartadas.restype = ctypes.c_int32

    def version(self):
        """The loaded library's version, "6.49.9"."""
        return self._lib.WsrVersao().decode("ascii")

    def start_balanca(self, port="", baud=""):
        return bool(self._lib.StartBalanca(_text(port), _text(baud)))

    def busca_peso(self, port, baud="9600"):
        """The weight result exactly as the C function returns it. It logs into dados beside the
        Python executable and returns NaN when that folder is missing."""
        return self._lib.BuscaPeso(_text(port), _text(baud))

    def busca_peso_ex(self, port, baud="9600", log_folder=None, gap_ms=0, stable_ms=0, equal=0, frame=0,
                      log_limit_mb=0):
        """One reading, told in full: .weight is None but for a weight (.kind tells what came
        instead; busca_peso keeps the C function's -1/-2/-10 and 0). log_folder: the folder of the daily log (it must exist); without
        one nothing is logged (log_limit_mb: one day's bound, 0 is 64 MiB). stable_ms: wait up to
        that long for the scale to settle (equal: equal weights needed; frame: 7 or 8, the frame
        the scale sends). Raises ScaleError for a failure or a refused call."""
        options = _options(log_folder, gap_ms, stable_ms, equal, frame, log_limit_mb)
        result = WsrLeitura()
        result.tamanho = ctypes.sizeof(WsrLeitura)
        returned = self._lib.BuscaPesoEx(_text(port), _text(baud), ctypes.byref(options), ctypes.byref(result))
        if returned not in (PESO, STATUS, SEM_LEITURA) or returned != result.tipo:
            message = result.mensagem.decode("cp1252", errors="replace")
            raise ScaleError(message or f"BuscaPesoEx refused the call ({returned})")
        return _reading(result)

    def follow(self, port, baud="9600", log_folder=None, gap_ms=0, frame=0):
        """Follows the scale: yields a Reading each time it changes (a failure comes as kind
        "failure"), for as long as the generator is iterated; closing it (or leaving the for loop)
        stops the monitor and frees the port.

            for reading in lib.follow("/dev/ttyUSB0", frame=8):
                print(reading.weight)
        """
        changes = queue.SimpleQueue()
        on_change = _ON_CHANGE(lambda result, _: changes.put(_reading(result.contents)))
        options = _options(log_folder, gap_ms, 0, 0, frame)
        monitor = self._lib.WsrMonitorInicia(_text(port), _text(baud), ctypes.byref(options), on_change, None)
        if not monitor:
            raise ScaleError("the monitor could not be started (options invalid?)")
        try:
            while True:
                yield changes.get()
        finally:
            self._lib.WsrMonitorEncerra(monitor)  # no callback runs after this returns

    def detect(self, port, bauds=(2400, 4800, 9600, 19200), budget_ms=3000):
        """Finds the scale on a port: polls at each rate in turn until one gives well-formed frames on two
        polls in a row, within budget_ms. A port another program holds is reported busy, unopened, and
        the port's settings are put back. Raises ScaleError for refused arguments. Safe from several
        threads at once, one per port."""
        found = WsrDeteccao()
        found.tamanho = ctypes.sizeof(WsrDeteccao)
        rates = ",".join(str(baud) for baud in bauds)
        returned = self._lib.WsrDetecta(_text(port), _text(rates), max(1, int(budget_ms)), ctypes.byref(found))
        message = found.mensagem.decode("cp1252", errors="replace")
        if returned not in RESULTS:
            raise ScaleError(message or f"WsrDetecta refused the call ({returned})")
        is_found = returned == 0
        return Detection(RESULTS[returned], found.velocidade, found.quadro, KINDS[found.tipo] if is_found else None,
                         found.peso if is_found and found.tipo == PESO else None, CAUSES.get(found.causa), found.velocidades_testadas,
                         bytes(found.resposta[:found.quadro]), message,
                         HEARD.get(found.veredito, f"unknown {found.veredito}"), found.bytes_lidos)

    def dropped_lines(self, log_folder=None):
        """The lines the day's log in log_folder (None: dados beside the Python executable) has dropped past
        its bound so far today (0 under it). Raises ScaleError, with the reason, when the day's file cannot
        be read."""
        options = _options(log_folder)
        if log_folder is None:
            options.log = LOG_DEFAULT
        lines = ctypes.c_uint64(0)
        why = ctypes.create_string_buffer(MESSAGE_MAX)
        returned = self._lib.WsrLogDescartadas(ctypes.byref(options), ctypes.byref(lines), why, MESSAGE_MAX)
        if returned != 0:
            raise ScaleError(why.value.decode("cp1252", errors="replace") if returned == 1
                             else f"WsrLogDescartadas refused the call ({returned})")
        return lines.value

    def weigh(self, port, baud="9600", **options):
        """The weight in kg, and only ever a weight (0.0 is an empty platter). Raises NoReading when
        the scale gave no weight (a status, or no reading: its .reading tells why) and ScaleError
        for a failure. Takes busca_peso_ex's options."""
        reading = self.busca_peso_ex(port, baud, **options)
        if reading.kind != "weight":
            raise NoReading(reading)
        return reading.weight


class _Usage(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(64, f"{self.prog}: {message}\n")


def main(argv):
    parser = _Usage(prog="python -m wsr37100" if __spec__ is not None else os.path.basename(argv[0]),
                    formatter_class=argparse.RawDescriptionHelpFormatter,
                    description="Reads the scale on PORT once. A weight goes to stdout (\"12.345 kg\"); anything\n"
                                "else (a status, an unreadable reply, no reading) goes to stderr, with no number.",
                    epilog="example: python -m wsr37100 /dev/ttyUSB0 9600\n\n"
                           "Exit status: 0 a weight, 2 a status or an unreadable reply, 3 no reading, 4 a failure\n"
                           "(the library not found, the log), 64 a usage error. The library is taken from\n"
                           "WSR37100_LIBRARY, the build tree or where the system's loader finds it.")
    parser.add_argument("port", metavar="PORT", help="the serial port: /dev/ttyUSB0, COM1, tcp://HOST:PORT, "
                                                     "rfc2217://HOST:PORT")
    parser.add_argument("baud", metavar="BAUD", nargs="?", default="9600", help="the baud rate (default: 9600)")
    arguments = parser.parse_args(argv[1:])
    try:
        reading = Library().busca_peso_ex(arguments.port, arguments.baud, gap_ms=20)
    except (OSError, ScaleError) as error:
        print(error, file=sys.stderr)
        return 4
    if reading.kind == "weight":
        print(f"{reading.weight:.3f} kg")
        return 0
    print(_described(reading), file=sys.stderr)
    return 2 if reading.kind == "status" else 3


if __name__ == "__main__":
    sys.exit(main(sys.argv))
