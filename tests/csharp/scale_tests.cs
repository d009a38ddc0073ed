// The .NET library (examples/csharp/Wsr37100.cs) under Mono, against the library and scales the tool plays:
//   scale_tests                 every case; WSR37100_TOOL names the tool
//   scale_tests layout BITS     C static assertions holding the header's records to the C# ones'
//                               layout for 32- or 64-bit processes
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;
using Wsr37100;

static class ScaleTests
{
    static readonly TimeSpan Patience = TimeSpan.FromSeconds(20);
    static readonly ScaleOptions Quick = new ScaleOptions { NoLog = true, Gap = TimeSpan.FromMilliseconds(20) };
    static int failures;

    static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "layout")
            return Layout(int.Parse(args[1]) / 8);
        if (args.Length == 1 && args[0] == "no-library")
            return NoLibrary();
        var cases = new Action[] {
            Reads, Kilograms, StableReads, Failures, Detections, MonitorOnItsThread, MonitorOnAContext,
            DisposeFromAHandler, DisposeWhileAHandlerRuns, DisposeWithPostsPending, StartStopWithoutALeak };
        foreach (Action test in cases)
        {
            Stopwatch took = Stopwatch.StartNew();
            try
            {
                test();
                Console.WriteLine("ok   {0} ({1} ms)", test.Method.Name, took.ElapsedMilliseconds);
            }
            catch (Exception error)
            {
                failures++;
                Console.WriteLine("FAIL {0}: {1}", test.Method.Name, error);
            }
        }
        return failures == 0 ? 0 : 1;
    }

    /// <summary>Run where the library is not: each first call is a LibraryNotLoadedException that names
    /// the file, the bitness and the fix, never the runtime's DllNotFoundException.</summary>
    static int NoLibrary()
    {
        var calls = new Action[] {
            () => new Scale("/dev/ttyNone", 9600).Read(),
            () => Scale.Detect("/dev/ttyNone"),
            () => new ScaleMonitor("/dev/ttyNone", 9600).Start() };
        foreach (Action call in calls)
        {
            try
            {
                call();
                Console.WriteLine("FAIL no-library: a call went through");
                return 1;
            }
            catch (LibraryNotLoadedException missing)
            {
                string said = missing.Message;
                if (missing.LookedFor != Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "libwsr37100.so.6")
                    || !said.Contains(missing.LookedFor) || !said.Contains(IntPtr.Size * 8 + "-bit") || !said.Contains("dllmap")
                    || !(missing.InnerException is DllNotFoundException))
                {
                    Console.WriteLine("FAIL no-library: " + said);
                    return 1;
                }
            }
        }
        Console.WriteLine("ok   no-library: each first call names the file, the bitness and the fix");
        return 0;
    }

    // ---- Reading

    static string Describe(Reading r)
    {
        return string.Format("{0} {1} {2} {3} {4}", r.Kind, Kg(r.Weight), r.Status, r.Reason, r.Cause);
    }

    /// <summary>A weight, or "-" for none.</summary>
    static string Kg(decimal? weight)
    {
        return weight.HasValue ? weight.Value.ToString(System.Globalization.CultureInfo.InvariantCulture) : "-";
    }

    static void Reads()
    {
        // A name with a character of Windows-1252's upper half: the message gives it back as it was.
        string none = Path.Combine(Path.GetTempPath(), "wsr37100-balan\u00E7a-none-" + Guid.NewGuid());
        var cases = new[] {  // what the scale answers, the reading
            new { Scale = "--weight 7.5", Got = "Weight 7.500 None None None" },
            new { Scale = "--weight 12.345 --frame 7", Got = "Weight 12.345 None None None" },
            new { Scale = "--weight 0", Got = "Weight 0.000 None None None" },
            new { Scale = "--status I", Got = "Status - Unstable None None" },
            new { Scale = "--sequence hex:0209494243443103", Got = "Status - Unstable None None" },
            new { Scale = "--line-speed 4800", Got = "Status - Unreadable None None" },  // a wrong baud rate
            new { Scale = "--sequence hex:0002494243443103", Got = "Status - Unreadable None None" },
            new { Scale = "--status N", Got = "Status - Negative None None" },
            new { Scale = "--status S", Got = "Status - Overload None None" },
            new { Scale = "--partial 3", Got = "NoReading - None PartialReplies None" },
            new { Scale = "--silent", Got = "NoReading - None Silence None" },
            new { Scale = (string)null, Got = "NoReading - None PortUnavailable Missing" },
        };
        foreach (var c in cases)
            using (Simulator scale = c.Scale == null ? null : new Simulator(c.Scale.Split(' ')))
            {
                Reading reading = new Scale(scale == null ? none : scale.Port, 9600, Quick).Read();
                Equal(c.Got, Describe(reading), c.Scale);
                if (reading.Kind == ReadingKind.Weight)
                    Equal("2 3", reading.Reply.First() + " " + reading.Reply.Last(), "the reply's STX and ETX");
                if (reading.Cause == PortCause.Missing)
                    Equal("N\u00E3o foi poss\u00EDvel abrir a porta \"" + none + "\"", reading.Message.Split(':')[0], "message");
                if (reading.Reason == NoReadingReason.Silence)
                    continue;  // a second of silence: once is enough
                string weighed;
                try
                {
                    weighed = "Weight " + new Scale(scale == null ? none : scale.Port, 9600, Quick).Weigh() + " None None None";
                }
                catch (NoWeightException no)
                {
                    weighed = Describe(no.Reading);
                    Equal(no.Reading.Status == ScaleStatus.Unreadable, no.Message.Contains("confira a velocidade"), "check the baud rate");
                }
                Equal(c.Got, weighed, "Weigh, " + c.Scale);
            }
    }

    static void Kilograms()
    {
        var cases = new[] {  // the double, as C's "%.3f" prints it
            new { Value = 7.5, Printed = "7.500" }, new { Value = 1.0625, Printed = "1.062" },
            new { Value = 1.0635, Printed = "1.063" }, new { Value = 1.2345, Printed = "1.234" },
            new { Value = 1.0005, Printed = "1.000" }, new { Value = 2.0005, Printed = "2.001" }, new { Value = 0.0005, Printed = "0.001" },
            new { Value = 123456.7895, Printed = "123456.789" }, new { Value = 0.0, Printed = "0.000" },
            new { Value = 1e-20, Printed = "0.000" }, new { Value = -1.0625, Printed = "-1.062" },
            new { Value = 9007199254740993.0, Printed = "9007199254740992.000" },
        };
        foreach (var c in cases)
            Equal(c.Printed, Reading.ToKilograms(c.Value).ToString(System.Globalization.CultureInfo.InvariantCulture),
                  c.Value.ToString("R"));
    }

    static void StableReads()
    {
        var cases = new[] {  // what the scale answers, the time-out in ms, the reading
            new { Scale = "--sequence I,I,1.5", Timeout = 10000.0, Got = "Weight 1.500 None None None stable" },
            new { Scale = "--status I", Timeout = 300.0, Got = "Status - Unstable None None unsettled" },
            new { Scale = "--status S", Timeout = 10000.0, Got = "Status - Overload None None stable" },
            new { Scale = "--status S", Timeout = 0.5, Got = "Status - Overload None None stable" },  // a wait, not none
        };
        foreach (var c in cases)
            using (var scale = new Simulator(c.Scale.Split(' ')))
            {
                // From ticks: FromMilliseconds rounds to a whole millisecond on some runtimes.
                TimeSpan timeout = TimeSpan.FromTicks((long)(c.Timeout * TimeSpan.TicksPerMillisecond));
                Reading reading = new Scale(scale.Port, 9600, Quick).ReadStable(timeout);
                Equal(c.Got, Describe(reading) + (reading.Stable ? " stable" : " unsettled"), c.Scale);
            }
    }

    static void Failures()
    {
        string missing = Path.Combine(Path.GetTempPath(), "wsr37100-none-" + Guid.NewGuid());
        string beside = Path.Combine(Path.GetDirectoryName(Assembly.GetEntryAssembly().Location), "dados");
        var cases = new[] {  // options the library refuses, how its message begins
            new { Options = new ScaleOptions { NoLog = true, Frame = 9 }, Message = "Op\u00E7\u00F5es inv\u00E1lidas: quadro = 9" },
            new { Options = new ScaleOptions { LogFolder = "" }, Message = "Op\u00E7\u00F5es inv\u00E1lidas: WSR_LOG_PASTA sem pasta_log" },
            new { Options = new ScaleOptions { LogFolder = missing },
                  Message = "N\u00E3o foi poss\u00EDvel abrir o arquivo de log \"" + missing + "/logWSR37100_" },
            // Under Mono the default is dados beside the program, not beside the runtime: here it is missing.
            new { Options = new ScaleOptions(), Message = "N\u00E3o foi poss\u00EDvel abrir o arquivo de log \"" + beside + "/logWSR37100_" },
        };
        using (var scale = new Simulator("--weight", "2"))
            foreach (var c in cases)
            {
                string message = Thrown<ScaleException>(() => new Scale(scale.Port, 9600, c.Options).Read());
                Equal(c.Message, message.Substring(0, Math.Min(message.Length, c.Message.Length)), "Read");
                using (var monitor = new ScaleMonitor(scale.Port, 9600, c.Options))
                {
                    if (!c.Message.StartsWith("N\u00E3o foi poss\u00EDvel abrir o arquivo de log", StringComparison.Ordinal))
                    {
                        Equal("N\u00E3o foi poss\u00EDvel iniciar o monitor de " + scale.Port,
                              Thrown<ScaleException>(monitor.Start), "Start");
                        continue;
                    }
                    // A running monitor reads all the same, and tells a log it cannot write apart.
                    Reading came = null;
                    var changed = new ManualResetEventSlim();
                    monitor.ReadingChanged += (sender, e) => { came = e.Reading; changed.Set(); };
                    monitor.Start();
                    True(changed.Wait(Patience), "a reading came");
                    Equal(ReadingKind.Weight, came.Kind, "monitor");
                    string failure = null;
                    for (var until = DateTime.UtcNow + Patience; failure == null && DateTime.UtcNow < until; Thread.Sleep(20))
                        failure = monitor.LogFailure;
                    True(failure != null, "the log's failure told");
                    Equal(c.Message, failure.Substring(0, Math.Min(failure.Length, c.Message.Length)), "LogFailure");
                }
            }
    }

    static void Detections()
    {
        string none = Path.Combine(Path.GetTempPath(), "wsr37100-none-" + Guid.NewGuid());
        const string Fast = "--line-speed 4800 --frame 7 --status N", Slow = "--line-speed 19200 --weight 2.5";
        // The scale, the port when not the scale's, the rates, the budget, what was found, the rates tried (-1: as many as
        // the budget allowed, on a loaded machine none), how Message begins, what the last rate tried gave.
        var cases = new[] {
            new { Scale = Fast, Port = (string)null, Bauds = (int[])null, Budget = 20000,
                  Found = "Found 4800 7 Status - Negative None 2,78,78,78,78,78,3", Tried = 2, Says = "", Heard = "Frame 7" },
            new { Scale = Slow, Port = (string)null, Bauds = new[] { 9600, 19200 }, Budget = 20000,
                  Found = "Found 19200 8 Weight 2.500 None None 2,32,50,46,53,48,48,3", Tried = 2, Says = "", Heard = "Frame 8" },
            new { Scale = Slow, Port = (string)null, Bauds = new[] { 2400 }, Budget = 20000,
                  Found = "NotFound 0 0 NoReading - None None ", Tried = 1, Says = "Nenhuma balan\u00E7a respondeu em \"{0}\": 2400: ",
                  Heard = "Garbage 1" },
            new { Scale = Slow, Port = (string)null, Bauds = (int[])null, Budget = 1,
                  Found = "TimedOut 0 0 NoReading - None None ", Tried = -1, Says = "Tempo esgotado (1 ms): ",
                  Heard = "NotTried 0" },
            new { Scale = (string)null, Port = none, Bauds = (int[])null, Budget = 20000,
                  Found = "PortUnavailable 0 0 NoReading - None Missing ", Tried = 0, Says = "", Heard = "NotTried 0" },
            new { Scale = (string)null, Port = "tcp://127.0.0.1:9", Bauds = (int[])null, Budget = 20000,
                  Found = "NoRateToSet 0 0 NoReading - None None ", Tried = 0, Says = "", Heard = "NotTried 0" },
        };
        foreach (var c in cases)
            using (Simulator scale = c.Scale == null ? null : new Simulator(c.Scale.Split(' ')))
            {
                string port = c.Port ?? scale.Port, says = string.Format(c.Says, port);
                Detection found = Scale.Detect(port, c.Bauds, TimeSpan.FromMilliseconds(c.Budget));
                Equal(c.Found, string.Join(" ", found.Result, found.Baud, found.Frame, found.Kind, Kg(found.Weight), found.Status,
                                           found.Cause, string.Join(",", found.Reply)), c.Scale ?? c.Port);
                if (c.Tried >= 0)
                    Equal(c.Tried, found.RatesTried, "rates tried");
                Equal(says, found.Message.Substring(0, Math.Min(says.Length, found.Message.Length)), "message");
                Equal(c.Heard, found.LastRateOutcome + " " + found.LastRateBytes, "the last rate");
                if (found.Found)
                    Equal(string.Join(" ", found.Kind, Kg(found.Weight), found.Status, "None None"), Describe(found.ToScale(Quick).Read()),
                          "a reading at the rate and frame found");
            }
        var refused = new[] {  // rates the library refuses, its message
            new { Bauds = Enumerable.Repeat(9600, 17).ToArray(), Message = "Velocidades demais na lista (no m\u00E1ximo 16)" },
            new { Bauds = new[] { 9600, -5 }, Message = "Velocidade inv\u00E1lida na lista \"9600,-5\": \"-5\"" },
        };
        foreach (var c in refused)
            Equal(c.Message, Thrown<ScaleException>(() => Scale.Detect(none, c.Bauds)), "refused");
    }

    static string Thrown<T>(Action call) where T : Exception
    {
        try
        {
            call();
        }
        catch (T error)
        {
            return error.Message;
        }
        throw new Exception("no " + typeof(T).Name + " thrown");
    }

    // ---- Following

    static void MonitorOnItsThread()
    {
        var seen = new ConcurrentDictionary<string, int>();
        var all = new ManualResetEventSlim();
        int main = Thread.CurrentThread.ManagedThreadId;
        using (var scale = new Simulator("--sequence", "1.5,I,N,S"))
        using (var monitor = new ScaleMonitor(scale.Port, 9600, Quick))
        {
            monitor.ReadingChanged += (sender, e) =>
            {
                seen[Describe(e.Reading) + (Thread.CurrentThread.ManagedThreadId == main ? " on the caller" : "")] = 1;
                if (seen.Count >= 4)
                    all.Set();
            };
            monitor.Start();
            Equal("the monitor is running already", Thrown<InvalidOperationException>(() => monitor.Start()), "a second Start");
            True(all.Wait(Patience), "four readings came");
            True(seen.ContainsKey(Describe(monitor.Latest)), "Latest is one of them");
        }
        Equal("Status - Negative None None;Status - Overload None None;Status - Unstable None None;Weight 1.500 None None None",
              string.Join(";", seen.Keys.OrderBy(k => k, StringComparer.Ordinal)), "the readings, each on the monitor's thread");

        // Started, its scale not yet answered: no reading, never a 0.000 kg weight.
        using (var late = new Simulator("--weight", "1", "--delay", "5000"))
        using (var monitor = new ScaleMonitor(late.Port, 9600, Quick))
        {
            monitor.Start();
            True(monitor.Latest == null, "no reading before the first one");
        }
    }

    static void MonitorOnAContext()
    {
        var context = new OneThreadContext();
        var seen = new List<string>();
        int main = Thread.CurrentThread.ManagedThreadId;
        using (var scale = new Simulator("--sequence", "1.5,2"))
        using (var monitor = new ScaleMonitor(scale.Port, 9600, Quick, context))
        {
            monitor.ReadingChanged += (sender, e) =>
                seen.Add(Describe(e.Reading) + (Thread.CurrentThread.ManagedThreadId == main ? "" : " elsewhere"));
            monitor.Start();
            True(context.RunUntil(() => seen.Distinct().Count() >= 2, Patience), "two readings came");
        }
        Equal("Weight 1.500 None None None;Weight 2.000 None None None",
              string.Join(";", seen.Distinct().OrderBy(k => k, StringComparer.Ordinal)), "the readings, each on the context's thread");
    }

    static void DisposeFromAHandler()
    {
        int calls = 0;
        var returned = new ManualResetEventSlim();
        using (var scale = new Simulator("--sequence", "1.5,2"))
        {
            var monitor = new ScaleMonitor(scale.Port, 9600, Quick);
            monitor.ReadingChanged += (sender, e) =>
            {
                Interlocked.Increment(ref calls);
                monitor.Dispose();
                returned.Set();
            };
            monitor.Start();
            True(returned.Wait(Patience), "Dispose returned inside the handler");
            // The port is free again only once the monitor has stopped: no call can follow.
            True(Eventually(() => new Scale(scale.Port, 9600, Quick).Read().Cause != PortCause.Busy), "the port came free");
            Equal(1, calls, "handler calls");
        }
    }

    static void DisposeWhileAHandlerRuns()
    {
        int calls = 0, afterDispose = 0;
        var entered = new ManualResetEventSlim();
        bool disposedSeen = false, disposeReturned = false, handlerDone = false, doneWhenDisposeReturned = false;
        using (var scale = new Simulator("--sequence", "1.5,2"))
        {
            var monitor = new ScaleMonitor(scale.Port, 9600, Quick);
            monitor.ReadingChanged += (sender, e) =>
            {
                if (Volatile.Read(ref disposeReturned))
                    Interlocked.Increment(ref afterDispose);
                if (Interlocked.Increment(ref calls) > 1)
                    return;
                entered.Set();
                // Held until Dispose has begun on the other thread: Latest then refuses.
                disposedSeen = Eventually(() =>
                {
                    try { GC.KeepAlive(monitor.Latest); return false; }
                    catch (ObjectDisposedException) { return true; }
                });
                Volatile.Write(ref handlerDone, true);
            };
            monitor.Start();
            True(entered.Wait(Patience), "a handler ran");
            var disposer = new Thread(() =>
            {
                monitor.Dispose();
                Volatile.Write(ref doneWhenDisposeReturned, Volatile.Read(ref handlerDone));
                Volatile.Write(ref disposeReturned, true);
            });
            disposer.Start();
            True(disposer.Join(Patience), "Dispose returned");
            True(disposedSeen, "the handler was still running when Dispose began");
            True(doneWhenDisposeReturned, "Dispose waited for the running handler");
            True(Eventually(() => new Scale(scale.Port, 9600, Quick).Read().Cause != PortCause.Busy), "the port came free");
            Equal(0, afterDispose, "handler calls after Dispose returned");
        }
    }

    static void DisposeWithPostsPending()
    {
        var context = new OneThreadContext();
        int calls = 0;
        using (var scale = new Simulator("--sequence", "1.5,2"))
        {
            var monitor = new ScaleMonitor(scale.Port, 9600, Quick, context);
            monitor.ReadingChanged += (sender, e) => calls++;
            monitor.Start();
            True(context.Posted.Wait(Patience), "a reading was posted");
            monitor.Dispose();
            context.Drain();
            Equal(0, calls, "handler calls from what was posted before Dispose");
        }
    }

    static void StartStopWithoutALeak()
    {
        var gone = new List<WeakReference>();
        using (var scale = new Simulator("--weight", "1.5"))
        {
            // Each cycle opens the port, polls, calls back and stops.
            Action<int> cycles = count =>
            {
                for (int i = 0; i < count; i++)
                {
                    var read = new ManualResetEventSlim();
                    var monitor = new ScaleMonitor(scale.Port, 9600, Quick);
                    monitor.ReadingChanged += (sender, e) => read.Set();
                    monitor.Start();
                    True(read.Wait(Patience), "a reading came");
                    monitor.Dispose();
                    if (i % 100 == 0)
                        gone.Add(new WeakReference(monitor));
                }
            };
            cycles(10);  // the runtime's own threads and files, made once, before counting
            int files = Directory.GetFiles("/proc/self/fd").Length, threads = Directory.GetDirectories("/proc/self/task").Length;
            gone.Clear();
            // On a thread of their own: Mono scans stacks conservatively, and a word left on this
            // one could hold a monitor after all.
            Exception failed = null;
            var cycling = new Thread(() => { try { cycles(1000); } catch (Exception error) { failed = error; } });
            cycling.Start();
            cycling.Join();
            if (failed != null)
                throw failed;
            // Dispose itself frees the port and ends the thread, not a collection later; a thread that
            // has ended (the cycling one too) may still take a moment to leave the system's count.
            True(Directory.GetFiles("/proc/self/fd").Length <= files + 2, "no descriptor left open");
            True(Eventually(() => Directory.GetDirectories("/proc/self/task").Length <= threads + 2), "no thread left running");
            GC.Collect();
            GC.WaitForPendingFinalizers();
            True(gone.All(m => !m.IsAlive), "no disposed monitor left referenced");
        }
    }

    /// <summary>A SynchronizationContext on one thread, as a form's: Post queues, and the thread that
    /// calls RunUntil or Drain runs the queue.</summary>
    sealed class OneThreadContext : SynchronizationContext
    {
        readonly BlockingCollection<KeyValuePair<SendOrPostCallback, object>> queue =
            new BlockingCollection<KeyValuePair<SendOrPostCallback, object>>();
        public readonly ManualResetEventSlim Posted = new ManualResetEventSlim();

        public override void Post(SendOrPostCallback d, object state)
        {
            queue.Add(new KeyValuePair<SendOrPostCallback, object>(d, state));
            Posted.Set();
        }

        /// <summary>Runs what is posted until done, or patience ran out (false).</summary>
        public bool RunUntil(Func<bool> done, TimeSpan patience)
        {
            var waited = Stopwatch.StartNew();
            KeyValuePair<SendOrPostCallback, object> item;
            while (!done())
            {
                int left = (int)(patience - waited.Elapsed).TotalMilliseconds;
                if (left <= 0 || !queue.TryTake(out item, left))
                    return false;
                item.Key(item.Value);
            }
            return true;
        }

        /// <summary>Runs what is posted so far.</summary>
        public void Drain()
        {
            KeyValuePair<SendOrPostCallback, object> item;
            while (queue.TryTake(out item))
                item.Key(item.Value);
        }
    }

    // ---- Layout

    /// <summary>The records' layout: measured by the marshaller for this process's pointer size, and
    /// for the other one worked out by the marshaller's rules (sequential, Pack = 8), which must
    /// first give this process's own layout.</summary>
    static int Layout(int pointer)
    {
        Console.WriteLine("#include <stddef.h>\n#include <wsr37100.h>");
        foreach (Type record in new[] { typeof(WsrOpcoes), typeof(WsrLeitura), typeof(WsrDeteccao) })
        {
            var fields = record.GetFields(BindingFlags.Instance | BindingFlags.Public).OrderBy(f => f.MetadataToken).ToArray();
            int size;
            int[] offsets = Offsets(fields, IntPtr.Size, out size);
            for (int i = 0; i < fields.Length; i++)
                if (offsets[i] != (int)Marshal.OffsetOf(record, fields[i].Name))
                    throw new Exception("the rules miss " + record.Name + "." + fields[i].Name);
            if (size != Marshal.SizeOf(record))
                throw new Exception("the rules miss the size of " + record.Name);
            offsets = Offsets(fields, pointer, out size);
            Console.WriteLine("_Static_assert(sizeof({0}) == {1}, \"{0}: {1} bytes in C#\");", record.Name, size);
            for (int i = 0; i < fields.Length; i++)
                Console.WriteLine("_Static_assert(offsetof({0}, {1}) == {2}, \"{0}.{1}: at {2} in C#\");",
                                  record.Name, fields[i].Name, offsets[i]);
        }
        return 0;
    }

    static int[] Offsets(FieldInfo[] fields, int pointer, out int size)
    {
        var offsets = new int[fields.Length];
        int at = 0, widest = 1;
        for (int i = 0; i < fields.Length; i++)
        {
            Type type = fields[i].FieldType;
            var array = fields[i].GetCustomAttribute<MarshalAsAttribute>();
            int length = array != null ? array.SizeConst * Marshal.SizeOf(type.GetElementType())
                       : type == typeof(IntPtr) ? pointer : Marshal.SizeOf(type);
            int align = Math.Min(8, array != null ? Marshal.SizeOf(type.GetElementType()) : length);
            widest = Math.Max(widest, align);
            at = (at + align - 1) / align * align;
            offsets[i] = at;
            at += length;
        }
        size = (at + widest - 1) / widest * widest;
        return offsets;
    }

    // ---- Helpers

    /// <summary>`wsr37100 simulate ARGS` on a pseudo-terminal of its own; Port is its device.</summary>
    sealed class Simulator : IDisposable
    {
        readonly Process process;

        public Simulator(params string[] args)
        {
            var start = new ProcessStartInfo(Environment.GetEnvironmentVariable("WSR37100_TOOL"),
                                             "simulate " + string.Join(" ", args))
            {
                UseShellExecute = false, RedirectStandardOutput = true, RedirectStandardError = true,
                RedirectStandardInput = true,
            };
            process = Process.Start(start);
            process.ErrorDataReceived += (sender, e) => { };  // a line per poll: read, or the scale stalls
            process.BeginErrorReadLine();
            Port = process.StandardOutput.ReadLine();
            if (string.IsNullOrEmpty(Port))
                throw new Exception("the simulator printed no port");
        }

        public string Port { get; }

        public void Dispose()
        {
            process.Kill();
            process.WaitForExit();
            process.Dispose();
        }
    }

    static bool Eventually(Func<bool> condition)
    {
        var deadline = Stopwatch.StartNew();
        while (!condition())
        {
            if (deadline.Elapsed > Patience)
                return false;
            Thread.Sleep(10);
        }
        return true;
    }

    static void Equal<T>(T expected, T got, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, got))
            throw new Exception(string.Format("{0}: expected '{1}', got '{2}'", what, expected, got));
    }

    static void True(bool condition, string what)
    {
        if (!condition)
            throw new Exception(what + ": no");
    }
}
