// C# declarations of every export of wsr37100.dll (include/wsr37100.h), and a
// .NET interface over them: Scale, Reading, ScaleMonitor, Detection, ScaleException.
// C# 7.3: builds with csc (Visual Studio, dotnet) and Mono's mcs. Add it to a project, or build it
// into an assembly of its own, named apart from the native DLL: Windows file names ignore case, so a
// Wsr37100.dll beside the program would overwrite wsr37100.dll, or be overwritten by it.
//   csc -target:library -out:Wsr37100.Net.dll Wsr37100.cs
//   mcs -target:library -out:Wsr37100.Net.dll Wsr37100.cs
// Mono on Linux: map the DLL's name in Wsr37100.Net.dll.config beside that assembly.
//
// Take the DLL that matches the process, not Windows: a 32-bit process (x86)
// loads x86\bin\wsr37100.dll, a 64-bit one x64\bin\wsr37100.dll. An AnyCPU
// program on 64-bit Windows runs 64-bit. On 32-bit Windows the exports are
// __stdcall; on x64 there is one convention and StdCall is ignored, so the same
// declarations serve both.
//
// Texts cross the boundary as the header's char*: NUL-terminated 8-bit
// Windows-1252, whatever the system's ANSI code page is. The externs take and
// give bytes; the overloads with string encode and decode Windows-1252 here
// (Wsr.Texto, Wsr.DeTexto), so a "ç" reaches the library as 0xE7 on any system.
//
// The records have the C header's layout on both architectures:
//   WsrOpcoes   32 bytes on x86, 40 on x64 (pasta_log is a pointer)
//   WsrLeitura  568 bytes on both (peso is aligned to 8)
//   WsrDeteccao 568 bytes on both
//
// The .NET interface (failures are exceptions, never 0 kg):
//   var scale = new Scale("COM1", 9600, new ScaleOptions { Gap = TimeSpan.FromMilliseconds(20) });
//   Reading reading = scale.Read();                   // or ReadStable(TimeSpan.FromSeconds(2))
//   if (reading.Kind == ReadingKind.Weight)
//       Console.WriteLine(reading.Weight.Value);      // 7.500 (decimal kg); Weight is null for anything else
//   else
//       Console.WriteLine(reading);                   // "status N", "unreadable reply, check the baud rate",
//                                                     // "no reading (Silence)"
//   Detection found = Scale.Detect("COM1");           // which rate and frame the scale uses
//   if (found.Found)
//       scale = found.ToScale();
//   using (var monitor = new ScaleMonitor("COM1", 9600, null, SynchronizationContext.Current))
//   {
//       monitor.ReadingChanged += (sender, e) => label.Text = e.Reading.ToString();
//       monitor.Start();
//       ...
//   }
//
// The log: by default in the folder dados beside the program, as BuscaPeso's. When the process is a
// .NET runtime (mono MyApp.exe, dotnet MyApp.dll) the library would take the runtime's folder for the
// program's (/usr/bin/dados); ScaleOptions then means dados beside the entry assembly, the application's.
//
// The raw calls:
//   double peso = Wsr.BuscaPeso("COM1", "9600");      // NaN: a failure
//   WsrOpcoes opcoes = WsrOpcoes.Padrao();
//   opcoes.log = Wsr.WSR_LOG_NENHUM;
//   opcoes.intervalo_ms = 20;
//   WsrLeitura leitura = WsrLeitura.Nova();
//   if (Wsr.BuscaPesoEx("COM1", "9600", ref opcoes, ref leitura) == Wsr.WSR_PESO)
//       Console.WriteLine(leitura.peso);
//   else
//       Console.WriteLine(leitura.Mensagem);
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Microsoft.Win32.SafeHandles;

namespace Wsr37100
{
    /// <summary>Options of BuscaPesoEx and WsrMonitorInicia (struct WsrOpcoes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8)]
    public struct WsrOpcoes
    {
        public uint tamanho;           // Marshal.SizeOf(typeof(WsrOpcoes)), set by WsrOpcoes.Padrao()
        public uint log;               // WSR_LOG_PADRAO, WSR_LOG_PASTA or WSR_LOG_NENHUM
        public IntPtr pasta_log;       // with WSR_LOG_PASTA: the folder, Windows-1252 (see the overloads taking pastaLog)
        public uint intervalo_ms;      // inter-byte gap of a read; 20 suits most scales
        public uint espera_estavel_ms; // BuscaPesoEx: wait up to this long for a stable weight
        public uint leituras_iguais;   // with espera_estavel_ms: equal weights needed
        public uint quadro;            // WSR_QUADRO_QUALQUER, WSR_QUADRO_7 or WSR_QUADRO_8
        public uint limite_log_mb;     // the most one day's log grows to, in MiB; 0: 64

        /// <summary>All defaults, tamanho set.</summary>
        public static WsrOpcoes Padrao()
        {
            WsrOpcoes opcoes = new WsrOpcoes();
            opcoes.tamanho = (uint)Marshal.SizeOf(typeof(WsrOpcoes));
            return opcoes;
        }
    }

    /// <summary>One reading, told in full (struct WsrLeitura).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8)]
    public struct WsrLeitura
    {
        public uint tamanho;       // Marshal.SizeOf(typeof(WsrLeitura)), set by WsrLeitura.Nova()
        public int tipo;           // WSR_PESO, WSR_STATUS, WSR_SEM_LEITURA or WSR_FALHA
        public double peso;        // what BuscaPeso would have returned
        public int motivo;         // with WSR_SEM_LEITURA: WSR_MOTIVO_*
        public int consultas;      // polls sent
        public int bytes_resposta; // bytes the last poll received, 0 to 8
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)]
        public byte[] resposta;    // those bytes
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = Wsr.WSR_MENSAGEM_MAX)]
        public byte[] mensagem;    // NUL-terminated Windows-1252 text: see Mensagem
        public int causa;          // with WSR_MOTIVO_PORTA_INDISPONIVEL: WSR_CAUSA_*
        public int erro_sistema;   // the system's error code behind causa, or 0
        public int estavel;        // with espera_estavel_ms: 1 when the scale settled
        public int numero;         // from a monitor: the change's number, as WsrMonitorUltima returns it

        /// <summary>An empty record, tamanho set, its arrays allocated.</summary>
        public static WsrLeitura Nova()
        {
            WsrLeitura leitura = new WsrLeitura();
            leitura.tamanho = (uint)Marshal.SizeOf(typeof(WsrLeitura));
            leitura.resposta = new byte[8];
            leitura.mensagem = new byte[Wsr.WSR_MENSAGEM_MAX];
            return leitura;
        }

        /// <summary>mensagem decoded from Windows-1252.</summary>
        public string Mensagem
        {
            get { return mensagem == null ? "" : Wsr.DeTexto(mensagem); }
        }
    }

    /// <summary>What WsrDetecta found (struct WsrDeteccao): 568 bytes on x86 and x64.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8)]
    public struct WsrDeteccao
    {
        public uint tamanho;              // Marshal.SizeOf(typeof(WsrDeteccao)), set by WsrDeteccao.Nova()
        public int resultado;             // WSR_DETECCAO_*
        public int velocidade;            // with WSR_DETECCAO_ENCONTRADA: the baud rate found
        public int quadro;                // with WSR_DETECCAO_ENCONTRADA: 7 or 8
        public int tipo;                  // with WSR_DETECCAO_ENCONTRADA: WSR_PESO or WSR_STATUS
        public int causa;                 // with WSR_DETECCAO_PORTA_INDISPONIVEL: WSR_CAUSA_*
        public double peso;               // with WSR_DETECCAO_ENCONTRADA: what BuscaPeso would return
        public int erro_sistema;          // the system's error code behind causa, or 0
        public int velocidades_testadas;  // how many rates were tried
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)]
        public byte[] resposta;           // the last frame
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = Wsr.WSR_MENSAGEM_MAX)]
        public byte[] mensagem;           // NUL-terminated Windows-1252 text: see Mensagem
        public int veredito;              // WSR_LINHA_*: what the last rate tried gave
        public int bytes_lidos;           // the bytes that rate's deciding poll received

        /// <summary>An empty record, tamanho set, its arrays allocated.</summary>
        public static WsrDeteccao Nova()
        {
            WsrDeteccao deteccao = new WsrDeteccao();
            deteccao.tamanho = (uint)Marshal.SizeOf(typeof(WsrDeteccao));
            deteccao.resposta = new byte[8];
            deteccao.mensagem = new byte[Wsr.WSR_MENSAGEM_MAX];
            return deteccao;
        }

        /// <summary>mensagem decoded from Windows-1252.</summary>
        public string Mensagem
        {
            get { return mensagem == null ? "" : Wsr.DeTexto(mensagem); }
        }
    }

    /// <summary>The monitor's callback, on the monitor's own thread; leitura is a
    /// WsrLeitura valid only during the call (Wsr.Leitura(leitura) copies it).
    /// Keep the delegate referenced for as long as the monitor runs, or the
    /// garbage collector frees what the library calls.</summary>
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void WsrAoMudar(IntPtr leitura, IntPtr contexto);

    public static class Wsr
    {
        public const string Biblioteca = "wsr37100.dll";

        /// <summary>Every record has the header's size on this architecture, or nothing here runs:
        /// a declaration that drifted would have the library write past it.</summary>
        static Wsr()
        {
            Confere(typeof(WsrOpcoes), IntPtr.Size == 4 ? 32 : 40);
            Confere(typeof(WsrLeitura), 568);
            Confere(typeof(WsrDeteccao), 568);
        }

        static void Confere(Type registro, int tamanho)
        {
            int declarado = Marshal.SizeOf(registro);
            if (declarado != tamanho)
                throw new InvalidOperationException(string.Format(
                    "{0} has {1} bytes in this declaration, but the library's is {2} bytes on {3}-bit",
                    registro.Name, declarado, tamanho, IntPtr.Size * 8));
        }

        public const int WSR37100_VERSION_MAJOR = 6;
        public const int WSR37100_VERSION_MINOR = 49;
        public const int WSR37100_VERSION_PATCH = 9;
        public const string WSR37100_VERSION_STRING = "6.49.9";

        public const uint WSR_LOG_PADRAO = 0;
        public const uint WSR_LOG_PASTA = 1;
        public const uint WSR_LOG_NENHUM = 2;

        public const uint WSR_QUADRO_QUALQUER = 0;
        public const uint WSR_QUADRO_7 = 7;
        public const uint WSR_QUADRO_8 = 8;

        public const int WSR_PESO = 0;
        public const int WSR_STATUS = 1;
        public const int WSR_SEM_LEITURA = 2;
        public const int WSR_FALHA = 3;

        public const int WSR_MOTIVO_NENHUM = 0;
        public const int WSR_MOTIVO_PORTA_INDISPONIVEL = 1;
        public const int WSR_MOTIVO_CONSULTA_FALHOU = 2;
        public const int WSR_MOTIVO_SILENCIO = 3;
        public const int WSR_MOTIVO_RESPOSTAS_PARCIAIS = 4;

        public const int WSR_CAUSA_NENHUMA = 0;
        public const int WSR_CAUSA_PORTA_INEXISTENTE = 1;
        public const int WSR_CAUSA_SEM_PERMISSAO = 2;
        public const int WSR_CAUSA_PORTA_OCUPADA = 3;
        public const int WSR_CAUSA_CONFIGURACAO_RECUSADA = 4;
        public const int WSR_CAUSA_NOME_RECUSADO = 5;
        public const int WSR_CAUSA_OUTRA = 6;
        public const int WSR_CAUSA_HOST_DESCONHECIDO = 7;
        public const int WSR_CAUSA_CONEXAO_RECUSADA = 8;
        public const int WSR_CAUSA_CONEXAO_ESGOTADA = 9;
        public const int WSR_CAUSA_CONEXAO_PERDIDA = 10;

        public const int WSR_MENSAGEM_MAX = 512;

        public const int WSR_DETECCAO_ENCONTRADA = 0;
        public const int WSR_DETECCAO_NAO_ENCONTRADA = 1;
        public const int WSR_DETECCAO_PORTA_INDISPONIVEL = 2;
        public const int WSR_DETECCAO_SEM_VELOCIDADE = 3;
        public const int WSR_DETECCAO_TEMPO_ESGOTADO = 4;
        public const int WSR_DETECCAO_RECUSADA = 5;

        public const int WSR_LINHA_NAO_TESTADA = 0;
        public const int WSR_LINHA_QUADRO = 1;
        public const int WSR_LINHA_LIXO = 2;
        public const int WSR_LINHA_SILENCIO = 3;
        public const int WSR_LINHA_VELOCIDADE_RECUSADA = 4;
        public const int WSR_LINHA_FALHOU = 5;
        public const int WSR_LINHA_SEM_RESPOSTA = 6;

        // ---- The exports, as the header declares them. A byte[] text is
        // NUL-terminated Windows-1252 (Wsr.Texto makes one); null is an empty text.

        /// <summary>The loaded library's version: a static text, never freed (hence IntPtr).</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall, EntryPoint = "WsrVersao")]
        public static extern IntPtr WsrVersaoPtr();

        /// <summary>kg; -1, -2, -10 a status; 0 no reading; NaN a failure.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern double BuscaPeso(byte[] sPorta, byte[] sVelocidade);

        /// <summary>Does nothing and returns true. A C bool is one byte.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool StartBalanca(byte[] sPorta, byte[] sVelocidade);

        /// <summary>Returns leitura.tipo. leitura.tamanho must be set (WsrLeitura.Nova()).</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int BuscaPesoEx(byte[] sPorta, byte[] sVelocidade, ref WsrOpcoes opcoes,
                                             ref WsrLeitura leitura);

        /// <summary>BuscaPesoEx with all defaults: pass IntPtr.Zero as opcoes.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int BuscaPesoEx(byte[] sPorta, byte[] sVelocidade, IntPtr opcoes,
                                             ref WsrLeitura leitura);

        /// <summary>Starts a monitor; IntPtr.Zero when the options are invalid. ao_mudar may be
        /// null: then ask WsrMonitorUltima from a timer.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern IntPtr WsrMonitorInicia(byte[] sPorta, byte[] sVelocidade, ref WsrOpcoes opcoes,
                                                     WsrAoMudar ao_mudar, IntPtr contexto);

        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern IntPtr WsrMonitorInicia(byte[] sPorta, byte[] sVelocidade, IntPtr opcoes,
                                                     WsrAoMudar ao_mudar, IntPtr contexto);

        /// <summary>The latest reading's number (0: none yet, -1: refused), the reading in leitura.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int WsrMonitorUltima(IntPtr monitor, ref WsrLeitura leitura);

        /// <summary>Stops and frees the monitor within 50 ms; no callback runs after it returns.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern void WsrMonitorEncerra(IntPtr monitor);

        /// <summary>The lines the day's log has dropped past its bound so far today (0 under it); returns 0,
        /// 1 when the day's file cannot be read (why in mensagem), -1 refused. IntPtr.Zero as opcoes: the
        /// default log. mensagem may be null.</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int WsrLogDescartadas(ref WsrOpcoes opcoes, out ulong linhas, byte[] mensagem, uint tamanho);
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int WsrLogDescartadas(IntPtr opcoes, out ulong linhas, byte[] mensagem, uint tamanho);

        /// <summary>Probes the port at each rate of sVelocidades (null: 2400,4800,9600,19200) within
        /// limite_ms (0: 3000); returns deteccao.resultado. deteccao.tamanho must be set (WsrDeteccao.Nova()).</summary>
        [DllImport(Biblioteca, CallingConvention = CallingConvention.StdCall)]
        public static extern int WsrDetecta(byte[] sPorta, byte[] sVelocidades, uint limite_ms, ref WsrDeteccao deteccao);

        // ---- The same calls with texts as strings.

        public static int WsrDetecta(string sPorta, string sVelocidades, uint limite_ms, ref WsrDeteccao deteccao)
        {
            return WsrDetecta(Texto(sPorta), Texto(sVelocidades), limite_ms, ref deteccao);
        }

        public static string WsrVersao()
        {
            return DeTexto(WsrVersaoPtr());
        }

        public static double BuscaPeso(string sPorta, string sVelocidade)
        {
            return BuscaPeso(Texto(sPorta), Texto(sVelocidade));
        }

        public static bool StartBalanca(string sPorta, string sVelocidade)
        {
            return StartBalanca(Texto(sPorta), Texto(sVelocidade));
        }

        public static int BuscaPesoEx(string sPorta, string sVelocidade, ref WsrOpcoes opcoes, ref WsrLeitura leitura)
        {
            return BuscaPesoEx(Texto(sPorta), Texto(sVelocidade), ref opcoes, ref leitura);
        }

        /// <summary>BuscaPesoEx logging into the folder pastaLog (it must exist).</summary>
        public static int BuscaPesoEx(string sPorta, string sVelocidade, ref WsrOpcoes opcoes, string pastaLog,
                                      ref WsrLeitura leitura)
        {
            GCHandle pasta = GCHandle.Alloc(Texto(pastaLog), GCHandleType.Pinned);
            uint log = opcoes.log;
            try
            {
                opcoes.log = WSR_LOG_PASTA;
                opcoes.pasta_log = pasta.AddrOfPinnedObject();
                return BuscaPesoEx(Texto(sPorta), Texto(sVelocidade), ref opcoes, ref leitura);
            }
            finally
            {
                // The record goes back as it came: the folder's text is freed here.
                opcoes.log = log;
                opcoes.pasta_log = IntPtr.Zero;
                pasta.Free();
            }
        }

        public static IntPtr WsrMonitorInicia(string sPorta, string sVelocidade, ref WsrOpcoes opcoes,
                                              WsrAoMudar ao_mudar, IntPtr contexto)
        {
            return WsrMonitorInicia(Texto(sPorta), Texto(sVelocidade), ref opcoes, ao_mudar, contexto);
        }

        /// <summary>A copy of the record the monitor's callback gets.</summary>
        public static WsrLeitura Leitura(IntPtr leitura)
        {
            return (WsrLeitura)Marshal.PtrToStructure(leitura, typeof(WsrLeitura));
        }

        // ---- Windows-1252, independent of the system's code page.

        static readonly char[] Altos = {
            '\u20AC', '\u0081', '\u201A', '\u0192', '\u201E', '\u2026', '\u2020', '\u2021',
            '\u02C6', '\u2030', '\u0160', '\u2039', '\u0152', '\u008D', '\u017D', '\u008F',
            '\u0090', '\u2018', '\u2019', '\u201C', '\u201D', '\u2022', '\u2013', '\u2014',
            '\u02DC', '\u2122', '\u0161', '\u203A', '\u0153', '\u009D', '\u017E', '\u0178' };

        /// <summary>A string as a NUL-terminated Windows-1252 text; a character it lacks becomes '?'.
        /// null stays null (an empty text to the library).</summary>
        public static byte[] Texto(string texto)
        {
            if (texto == null)
                return null;
            byte[] bytes = new byte[texto.Length + 1];
            for (int i = 0; i < texto.Length; i++)
            {
                char c = texto[i];
                if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
                {
                    bytes[i] = (byte)c;
                    continue;
                }
                int alto = Array.IndexOf(Altos, c);
                bytes[i] = alto >= 0 ? (byte)(0x80 + alto) : (byte)'?';
            }
            return bytes;
        }

        /// <summary>A Windows-1252 text up to its NUL (or the array's end).</summary>
        public static string DeTexto(byte[] bytes)
        {
            StringBuilder texto = new StringBuilder();
            foreach (byte b in bytes)
            {
                if (b == 0)
                    break;
                texto.Append(b >= 0x80 && b < 0xA0 ? Altos[b - 0x80] : (char)b);
            }
            return texto.ToString();
        }

        /// <summary>A NUL-terminated Windows-1252 text the library owns.</summary>
        public static string DeTexto(IntPtr texto)
        {
            if (texto == IntPtr.Zero)
                return "";
            int tamanho = 0;
            while (Marshal.ReadByte(texto, tamanho) != 0)
                tamanho++;
            byte[] bytes = new byte[tamanho];
            Marshal.Copy(texto, bytes, 0, tamanho);
            return DeTexto(bytes);
        }
    }

    // ---- The .NET interface: Scale reads, ScaleMonitor follows, a Reading tells
    // what came. A failure of the library, or a call it refused, is a
    // ScaleException; it is never a weight of 0.

    /// <summary>What kind of answer a reading gave.</summary>
    public enum ReadingKind
    {
        Weight = Wsr.WSR_PESO,
        Status = Wsr.WSR_STATUS,
        NoReading = Wsr.WSR_SEM_LEITURA,
        /// <summary>Only a monitor reports one (its log failed); a read throws ScaleException instead.</summary>
        Failure = Wsr.WSR_FALHA,
    }

    /// <summary>The status a scale answered, by its letter.</summary>
    public enum ScaleStatus
    {
        None = 0,
        /// <summary>The scale's I, the weight is still in motion: -1. Waiting helps.</summary>
        Unstable = 'I',
        /// <summary>Below zero: -2.</summary>
        Negative = 'N',
        /// <summary>Above the scale's capacity: -10.</summary>
        Overload = 'S',
        /// <summary>A reply that is neither a number nor a status letter, no letter at all: -1 as well,
        /// told apart by the reply's bytes. Most often a wrong baud rate: check it (Scale.Detect finds
        /// it); waiting does not help.</summary>
        Unreadable = 1,
    }

    /// <summary>Why there was no reading (WSR_MOTIVO_*).</summary>
    public enum NoReadingReason
    {
        None = Wsr.WSR_MOTIVO_NENHUM,
        PortUnavailable = Wsr.WSR_MOTIVO_PORTA_INDISPONIVEL,
        PollFailed = Wsr.WSR_MOTIVO_CONSULTA_FALHOU,
        Silence = Wsr.WSR_MOTIVO_SILENCIO,
        PartialReplies = Wsr.WSR_MOTIVO_RESPOSTAS_PARCIAIS,
    }

    /// <summary>Why the port could not be had, or a connection dropped (WSR_CAUSA_*).</summary>
    public enum PortCause
    {
        None = Wsr.WSR_CAUSA_NENHUMA,
        Missing = Wsr.WSR_CAUSA_PORTA_INEXISTENTE,
        Permission = Wsr.WSR_CAUSA_SEM_PERMISSAO,
        Busy = Wsr.WSR_CAUSA_PORTA_OCUPADA,
        SettingsRefused = Wsr.WSR_CAUSA_CONFIGURACAO_RECUSADA,
        NameRefused = Wsr.WSR_CAUSA_NOME_RECUSADO,
        Other = Wsr.WSR_CAUSA_OUTRA,
        HostNotFound = Wsr.WSR_CAUSA_HOST_DESCONHECIDO,
        ConnectionRefused = Wsr.WSR_CAUSA_CONEXAO_RECUSADA,
        ConnectTimeout = Wsr.WSR_CAUSA_CONEXAO_ESGOTADA,
        ConnectionDropped = Wsr.WSR_CAUSA_CONEXAO_PERDIDA,
    }

    /// <summary>A failure of the library (its log not writable, options it refuses) or a call it
    /// refused. The message is the library's own, in Portuguese.</summary>
    [Serializable]
    public class ScaleException : Exception
    {
        public ScaleException(string message) : base(message) { }
        public ScaleException(string message, Exception inner) : base(message, inner) { }
    }

    /// <summary>The native library could not be loaded, on the first call that needs it: it is not
    /// where it was looked for, or it was built for the other bitness than this process. The message
    /// names the file, the process's bitness and the fix; InnerException is the runtime's own.</summary>
    [Serializable]
    public class LibraryNotLoadedException : ScaleException
    {
        public LibraryNotLoadedException(Exception cause) : base(Describe(cause), cause)
        {
            LookedFor = File();
        }

        /// <summary>The file the runtime was to load (on Mono without a dllmap, libwsr37100.so).</summary>
        public string LookedFor { get; }

        static bool Unix
        {
            get { return Environment.OSVersion.Platform == PlatformID.Unix || Environment.OSVersion.Platform == PlatformID.MacOSX; }
        }

        static string File()
        {
            if (!Unix)
                return Path.Combine(AppDomain.CurrentDomain.BaseDirectory, Wsr.Biblioteca);
            // Mono drops the .dll and tries lib*.so where the system's loader looks, unless a dllmap names a file.
            string config = typeof(Wsr).Assembly.Location + ".config";
            var mapped = System.IO.File.Exists(config)
                ? System.Text.RegularExpressions.Regex.Match(System.IO.File.ReadAllText(config),
                      "dllmap\\s+dll=\"" + Wsr.Biblioteca.Replace(".", "\\.") + "\"\\s+target=\"([^\"]+)\"")
                : null;
            return mapped != null && mapped.Success ? mapped.Groups[1].Value : "libwsr37100.so";
        }

        static string Describe(Exception cause)
        {
            int bits = IntPtr.Size * 8;
            string arch = bits == 64 ? "x64" : "x86";
            if (Unix)
                return string.Format(
                    "{0} could not be loaded by this {1}-bit process: Mono looked for {2} ({3}). Install the library " +
                    "(the .deb, make install) or name the file in {4}: " +
                    "<configuration><dllmap dll=\"{0}\" target=\"/path/to/libwsr37100.so.6\"/></configuration>",
                    Wsr.Biblioteca, bits, File(),
                    File() == "libwsr37100.so" ? "beside the assembly, in /usr/lib and where the system's loader looks"
                                               : "as the dllmap names it",
                    typeof(Wsr).Assembly.Location + ".config");
            if (cause is BadImageFormatException)
                return string.Format(
                    "{0} is not a {1}-bit DLL, and this process is {1}-bit: put the {2} {3} beside the program " +
                    "(an AnyCPU program runs 64-bit on 64-bit Windows), or build the host for the DLL's bitness",
                    File(), bits, arch, Wsr.Biblioteca);
            return string.Format(
                "{0} was not found for this {1}-bit process: it was looked for at {2}, then on PATH. Put the {3} " +
                "{0} (the zip's {3}\\bin, or the .msi) beside the program",
                Wsr.Biblioteca, bits, File(), arch);
        }
    }

    /// <summary>Scale.Weigh had no weight to give: Reading tells what came instead.</summary>
    [Serializable]
    public class NoWeightException : ScaleException
    {
        public NoWeightException(Reading reading)
            : base(reading.Status == ScaleStatus.Unreadable ? "sem peso: resposta ileg\u00EDvel, confira a velocidade (baud)"
                   : reading.Kind == ReadingKind.Status ? "sem peso: status " + (char)reading.Status
                   : "sem peso: sem leitura" + (reading.Message.Length == 0 ? "" : ": " + reading.Message))
        {
            Reading = reading;
        }

        public Reading Reading { get; }
    }

    /// <summary>One reading, as the library told it. Immutable.</summary>
    public sealed class Reading
    {
        Reading(WsrLeitura leitura)
        {
            Kind = (ReadingKind)leitura.tipo;
            if (Kind == ReadingKind.Weight)
                Weight = ToKilograms(leitura.peso);
            else if (Kind == ReadingKind.Status)
                Status = StatusOf(leitura.peso, leitura.resposta, leitura.bytes_resposta);
            Reason = (NoReadingReason)leitura.motivo;
            Cause = (PortCause)leitura.causa;
            SystemError = leitura.erro_sistema;
            Polls = leitura.consultas;
            Stable = leitura.estavel != 0;
            byte[] resposta = new byte[Math.Max(0, Math.Min(leitura.bytes_resposta, 8))];
            Array.Copy(leitura.resposta, resposta, resposta.Length);
            Reply = Array.AsReadOnly(resposta);
            Message = leitura.Mensagem;
        }

        /// <summary>A filled record as a Reading; a refused one as the ScaleException it is.</summary>
        internal static Reading Of(int returned, WsrLeitura leitura, string call)
        {
            if (returned == Wsr.WSR_FALHA && leitura.tipo == Wsr.WSR_FALHA && leitura.Mensagem.Length > 0)
                throw new ScaleException(leitura.Mensagem);
            if (returned != leitura.tipo || returned < Wsr.WSR_PESO || returned > Wsr.WSR_SEM_LEITURA)
                throw new ScaleException(call + " recusou a chamada (" + returned + ")");
            return new Reading(leitura);
        }

        /// <summary>A monitor's record, a failure included.</summary>
        internal static Reading OfMonitor(WsrLeitura leitura)
        {
            return new Reading(leitura);
        }

        public ReadingKind Kind { get; }
        /// <summary>With Kind Weight: the kilograms, to the gram, as the library prints them
        /// (7.5 is 7.500); null for anything else, never a number that is not a weight.</summary>
        public decimal? Weight { get; }
        /// <summary>With Kind Status: which (Unreadable: check the baud rate).</summary>
        public ScaleStatus Status { get; }
        /// <summary>With Kind NoReading: why.</summary>
        public NoReadingReason Reason { get; }
        /// <summary>With NoReadingReason.PortUnavailable (or a dropped connection): why.</summary>
        public PortCause Cause { get; }
        /// <summary>The system's error code behind Cause, or 0.</summary>
        public int SystemError { get; }
        public int Polls { get; }
        /// <summary>With ReadStable: the scale settled before the time-out.</summary>
        public bool Stable { get; }
        /// <summary>The bytes of the last reply.</summary>
        public IReadOnlyList<byte> Reply { get; }
        /// <summary>The library's text (Portuguese): why a port could not be opened, a failure.</summary>
        public string Message { get; }

        public override string ToString()
        {
            switch (Kind)
            {
                case ReadingKind.Weight: return Weight.Value.ToString(CultureInfo.InvariantCulture) + " kg";
                case ReadingKind.Status:
                    return Status == ScaleStatus.Unreadable ? "unreadable reply, check the baud rate" : "status " + (char)Status;
                case ReadingKind.NoReading: return "no reading (" + Reason + (Cause == PortCause.None ? "" : ", " + Cause) + ")";
                default: return "failure: " + Message;
            }
        }

        /// <summary>The status behind a result of -1, -2 or -10 and the reply it came from. -1 is both the
        /// scale's I and an unreadable reply; the bytes tell them apart as the library reads them: in a
        /// 7-byte reply the second byte, in an 8-byte one the first above blank after the last STX (before
        /// its ETX), the text ending at the first zero byte.</summary>
        internal static ScaleStatus StatusOf(double peso, byte[] resposta, int count)
        {
            const byte Stx = 0x02, Etx = 0x03, Blank = 0x20;
            if (peso == -2)
                return ScaleStatus.Negative;
            if (peso == -10)
                return ScaleStatus.Overload;
            int length = 0;
            while (length < count && length < resposta.Length && resposta[length] != 0)
                length++;
            byte first = 0;
            if (count == 7 && length > 1)
                first = resposta[1];
            if (count == 8)
            {
                int at = 0;
                for (int i = 0; i < length; i++)
                    if (resposta[i] == Stx)
                        at = i + 1;
                for (; at < length && resposta[at] != Etx && first == 0; at++)
                    if (resposta[at] > Blank)
                        first = resposta[at];
            }
            return first == 'I' ? ScaleStatus.Unstable : ScaleStatus.Unreadable;
        }

        /// <summary>A weight as BuscaPeso returns it, in kilograms to the gram: rounded from its
        /// exact binary value, half to even, as the library's "%.3f" prints it (1.2345 is
        /// 1.23449999... and gives 1.234), never with the double's own error added.</summary>
        public static decimal ToKilograms(double value)
        {
            long bits = BitConverter.DoubleToInt64Bits(value);
            int exponent = (int)((bits >> 52) & 0x7FF);
            ulong mantissa = (ulong)bits & 0xFFFFFFFFFFFFFUL;
            if (exponent == 0x7FF)
                throw new ArgumentOutOfRangeException("value", "not a number of kilograms");
            if (exponent == 0)
                exponent = 1;
            else
                mantissa |= 1UL << 52;
            int shift = 1075 - exponent;          // value = mantissa / 2^shift
            if (shift <= 0)
            {
                decimal whole = mantissa;
                for (int i = shift; i < 0; i++)
                    whole *= 2;                    // overflows loudly past decimal's range
                return (bits < 0 ? -whole : whole) + 0.000m;
            }
            ulong thousandths = mantissa * 1000;   // below 2^63
            ulong rounded = 0;
            if (shift < 64)
            {
                rounded = thousandths >> shift;
                ulong rest = thousandths & ((1UL << shift) - 1), half = 1UL << (shift - 1);
                if (rest > half || (rest == half && (rounded & 1) == 1))
                    rounded++;
            }
            return new decimal((int)(uint)rounded, (int)(uint)(rounded >> 32), 0, bits < 0, 3);
        }
    }

    /// <summary>How a Scale or ScaleMonitor talks to the scale and logs (see WsrOpcoes).</summary>
    public sealed class ScaleOptions
    {
        /// <summary>The daily log's folder (it must exist); null: the folder dados beside the host
        /// executable, as BuscaPeso, or, when the process is a .NET runtime (mono, dotnet), beside the
        /// application's entry assembly.</summary>
        public string LogFolder { get; set; }
        /// <summary>No log at all.</summary>
        public bool NoLog { get; set; }
        /// <summary>The most one day's log grows to, in MiB; 0: 64.</summary>
        public int LogLimitMb { get; set; }
        /// <summary>Inter-byte gap of a read: a read ends when no further byte comes within it.
        /// Zero: every read waits for 8 bytes or 1000 ms. 20 ms suits most scales.</summary>
        public TimeSpan Gap { get; set; }
        /// <summary>The frame the scale sends: 7 or 8 bytes; 0, either.</summary>
        public int Frame { get; set; }

        /// <summary>Where null LogFolder logs: null for the library's own default, dados beside the host
        /// executable, unless that executable is a .NET runtime (mono MyApp.exe, dotnet MyApp.dll), in
        /// whose folder no application keeps its files: then dados beside the entry assembly, as a program
        /// started on its own would have it. (A program that is its own executable, an apphost or a
        /// Windows .exe, has its entry assembly beside it: the same folder either way.)</summary>
        static readonly string DefaultLogFolder = ApplicationDados();

        static string ApplicationDados()
        {
            try
            {
                string host = Path.GetFileNameWithoutExtension(Process.GetCurrentProcess().MainModule.FileName);
                Assembly entry = Assembly.GetEntryAssembly();
                bool runtime = host.Equals("dotnet", StringComparison.OrdinalIgnoreCase)
                               || host.StartsWith("mono", StringComparison.OrdinalIgnoreCase);
                if (!runtime || entry == null || string.IsNullOrEmpty(entry.Location))
                    return null;
                return Path.Combine(Path.GetDirectoryName(entry.Location), "dados");
            }
            catch (Exception)
            {
                return null;  // the process cannot be asked: the library's own default
            }
        }

        internal ScaleOptions Copy()
        {
            return (ScaleOptions)MemberwiseClone();
        }

        /// <summary>The record, its log folder pinned into pasta for the call's length.</summary>
        internal WsrOpcoes Record(out GCHandle pasta)
        {
            WsrOpcoes opcoes = WsrOpcoes.Padrao();
            string folder = LogFolder ?? DefaultLogFolder;
            opcoes.log = NoLog ? Wsr.WSR_LOG_NENHUM : folder == null ? Wsr.WSR_LOG_PADRAO : Wsr.WSR_LOG_PASTA;
            opcoes.intervalo_ms = Milliseconds(Gap, "Gap");
            opcoes.quadro = checked((uint)Frame);
            opcoes.limite_log_mb = checked((uint)LogLimitMb);
            pasta = default(GCHandle);
            if (opcoes.log == Wsr.WSR_LOG_PASTA)
            {
                pasta = GCHandle.Alloc(Wsr.Texto(folder), GCHandleType.Pinned);
                opcoes.pasta_log = pasta.AddrOfPinnedObject();
            }
            return opcoes;
        }

        internal static uint Milliseconds(TimeSpan time, string name)
        {
            if (time < TimeSpan.Zero || time.TotalMilliseconds > uint.MaxValue)
                throw new ArgumentOutOfRangeException(name, time, "from zero to 49 days");
            return (uint)Math.Ceiling(time.TotalMilliseconds);  // a part of a millisecond is one, never none
        }
    }

    /// <summary>The scale on one port. Every call opens the port, polls, closes it and returns;
    /// calls from several threads are fine.</summary>
    public sealed class Scale
    {
        readonly byte[] porta, velocidade;
        readonly ScaleOptions options;

        public Scale(string port, int baud = 9600, ScaleOptions options = null)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            Port = port;
            Baud = baud;
            porta = Wsr.Texto(port);
            velocidade = Wsr.Texto(baud.ToString(CultureInfo.InvariantCulture));
            this.options = (options ?? new ScaleOptions()).Copy();
        }

        public string Port { get; }
        public int Baud { get; }

        /// <summary>One reading: a weight, a status or no reading. Throws ScaleException for a failure.</summary>
        public Reading Read()
        {
            return Query(0, 0);
        }

        /// <summary>Polls back to back until the scale settles, for up to timeout: a weight (after
        /// equalReadings equal ones, when more than 1), an N or S status, or no reading. On time-out
        /// the last answer stands, Reading.Stable false (typically ScaleStatus.Unstable); five
        /// unreadable replies in a row (a wrong baud rate) end it at once the same way.</summary>
        public Reading ReadStable(TimeSpan timeout, int equalReadings = 0)
        {
            if (timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException("timeout", timeout, "more than zero");
            return Query(ScaleOptions.Milliseconds(timeout, "timeout"), checked((uint)equalReadings));
        }

        /// <summary>The weight in kilograms, and only ever a weight (0.000 is an empty platter):
        /// NoWeightException for a status or no reading, ScaleException for a failure.</summary>
        public decimal Weigh()
        {
            Reading reading = Read();
            if (reading.Kind != ReadingKind.Weight)
                throw new NoWeightException(reading);
            return reading.Weight.Value;
        }

        /// <summary>Finds the scale on a port, for a till's settings screen: polls at each rate of bauds
        /// in turn (null: 2400, 4800, 9600, 19200; at most 16) until one gives well-formed frames on two
        /// polls in a row, within budget (null: 3 s). A port another program holds is reported busy
        /// without being opened; the port's settings are put back. ScaleException when the library
        /// refuses the arguments. Several ports may be searched at once, one thread each.</summary>
        public static Detection Detect(string port, IEnumerable<int> bauds = null, TimeSpan? budget = null)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            uint limite = 0;
            if (budget.HasValue)
            {
                if (budget.Value <= TimeSpan.Zero)
                    throw new ArgumentOutOfRangeException("budget", budget, "more than zero");
                limite = Math.Max(1, ScaleOptions.Milliseconds(budget.Value, "budget"));
            }
            string velocidades = bauds == null ? null
                : string.Join(",", bauds.Select(baud => baud.ToString(CultureInfo.InvariantCulture)));
            WsrDeteccao deteccao = WsrDeteccao.Nova();
            int resultado;
            try
            {
                resultado = Wsr.WsrDetecta(Wsr.Texto(port), Wsr.Texto(velocidades), limite, ref deteccao);
            }
            catch (Exception error) when (error is DllNotFoundException || error is BadImageFormatException)
            {
                throw new LibraryNotLoadedException(error);
            }
            if (resultado < Wsr.WSR_DETECCAO_ENCONTRADA || resultado >= Wsr.WSR_DETECCAO_RECUSADA)
                throw new ScaleException(deteccao.Mensagem.Length > 0 ? deteccao.Mensagem
                                         : "WsrDetecta recusou a chamada (" + resultado + ")");
            return new Detection(port, deteccao);
        }

        Reading Query(uint esperaEstavelMs, uint leiturasIguais)
        {
            GCHandle pasta;
            WsrOpcoes opcoes = options.Record(out pasta);
            try
            {
                opcoes.espera_estavel_ms = esperaEstavelMs;
                opcoes.leituras_iguais = leiturasIguais;
                WsrLeitura leitura = WsrLeitura.Nova();
                int tipo = Wsr.BuscaPesoEx(porta, velocidade, ref opcoes, ref leitura);
                return Reading.Of(tipo, leitura, "BuscaPesoEx");
            }
            catch (Exception error) when (error is DllNotFoundException || error is BadImageFormatException)
            {
                throw new LibraryNotLoadedException(error);
            }
            finally
            {
                if (pasta.IsAllocated)
                    pasta.Free();
            }
        }
    }

    /// <summary>What Scale.Detect came to (WSR_DETECCAO_*).</summary>
    public enum DetectionResult
    {
        /// <summary>A scale answered well-formed frames on two polls in a row.</summary>
        Found = Wsr.WSR_DETECCAO_ENCONTRADA,
        /// <summary>Every rate was tried; Message tells what each gave.</summary>
        NotFound = Wsr.WSR_DETECCAO_NAO_ENCONTRADA,
        /// <summary>The port could not be opened, or is busy: Cause tells why.</summary>
        PortUnavailable = Wsr.WSR_DETECCAO_PORTA_INDISPONIVEL,
        /// <summary>A raw tcp:// port: no rate can be set through it.</summary>
        NoRateToSet = Wsr.WSR_DETECCAO_SEM_VELOCIDADE,
        /// <summary>The budget ran out before a scale was found.</summary>
        TimedOut = Wsr.WSR_DETECCAO_TEMPO_ESGOTADO,
    }

    /// <summary>What the last rate Scale.Detect tried gave (WSR_LINHA_*).</summary>
    public enum RateOutcome
    {
        /// <summary>No rate was tried.</summary>
        NotTried = Wsr.WSR_LINHA_NAO_TESTADA,
        /// <summary>Well-formed frames of one size on two polls in a row.</summary>
        Frame = Wsr.WSR_LINHA_QUADRO,
        /// <summary>Bytes that are no frame: a wrong rate, a frame that never closes, frames of two sizes.</summary>
        Garbage = Wsr.WSR_LINHA_LIXO,
        /// <summary>Nothing within the wait.</summary>
        Silence = Wsr.WSR_LINHA_SILENCIO,
        /// <summary>The device would not take the rate.</summary>
        RateRefused = Wsr.WSR_LINHA_VELOCIDADE_RECUSADA,
        /// <summary>The line failed (a hang-up, a dropped connection).</summary>
        LineFailed = Wsr.WSR_LINHA_FALHOU,
        /// <summary>An rfc2217:// server took the connection, then did not answer its negotiation.</summary>
        ServerUnanswered = Wsr.WSR_LINHA_SEM_RESPOSTA,
    }

    /// <summary>What Scale.Detect found on a port. Immutable.</summary>
    public sealed class Detection
    {
        internal Detection(string port, WsrDeteccao deteccao)
        {
            Port = port;
            Result = (DetectionResult)deteccao.resultado;
            Found = Result == DetectionResult.Found;
            Baud = deteccao.velocidade;
            Frame = deteccao.quadro;
            Kind = Found ? (ReadingKind)deteccao.tipo : ReadingKind.NoReading;
            if (Kind == ReadingKind.Weight)
                Weight = Reading.ToKilograms(deteccao.peso);
            else if (Kind == ReadingKind.Status)
                Status = Reading.StatusOf(deteccao.peso, deteccao.resposta, deteccao.quadro);
            Cause = (PortCause)deteccao.causa;
            SystemError = deteccao.erro_sistema;
            RatesTried = deteccao.velocidades_testadas;
            byte[] resposta = new byte[Found ? Math.Max(0, Math.Min(deteccao.quadro, 8)) : 0];
            Array.Copy(deteccao.resposta, resposta, resposta.Length);
            Reply = Array.AsReadOnly(resposta);
            Message = deteccao.Mensagem;
            LastRateOutcome = (RateOutcome)deteccao.veredito;
            LastRateBytes = deteccao.bytes_lidos;
        }

        public string Port { get; }
        public DetectionResult Result { get; }
        public bool Found { get; }
        /// <summary>When found: the rate the scale answers at; else 0.</summary>
        public int Baud { get; }
        /// <summary>When found: 7 or 8, what ScaleOptions.Frame takes; else 0.</summary>
        public int Frame { get; }
        /// <summary>When found: Weight or Status, what the scale said; else NoReading.</summary>
        public ReadingKind Kind { get; }
        /// <summary>When the scale said a weight: the kilograms; else null.</summary>
        public decimal? Weight { get; }
        public ScaleStatus Status { get; }
        /// <summary>With DetectionResult.PortUnavailable: why.</summary>
        public PortCause Cause { get; }
        public int SystemError { get; }
        public int RatesTried { get; }
        /// <summary>What the last rate tried gave; NotTried when none was.</summary>
        public RateOutcome LastRateOutcome { get; }
        /// <summary>The bytes the last rate's deciding poll received, 0 to 8.</summary>
        public int LastRateBytes { get; }
        /// <summary>When found: the last frame.</summary>
        public IReadOnlyList<byte> Reply { get; }
        /// <summary>The library's text (Portuguese): what was found, what each rate gave, or why
        /// nothing was tried.</summary>
        public string Message { get; }

        /// <summary>The scale found, at its rate and frame, with the other options given.</summary>
        public Scale ToScale(ScaleOptions options = null)
        {
            if (!Found)
                throw new InvalidOperationException("no scale was found on " + Port + ": " + Result);
            ScaleOptions settings = (options ?? new ScaleOptions()).Copy();
            settings.Frame = Frame;
            return new Scale(Port, Baud, settings);
        }

        public override string ToString()
        {
            return Found ? string.Format(CultureInfo.InvariantCulture, "{0} at {1} baud, {2}-byte frames", Port, Baud, Frame)
                         : Port + ": " + Result + (Cause == PortCause.None ? "" : " (" + Cause + ")");
        }
    }

    /// <summary>A reading that changed, for ScaleMonitor.ReadingChanged.</summary>
    public sealed class ReadingChangedEventArgs : EventArgs
    {
        public ReadingChangedEventArgs(Reading reading) { Reading = reading; }
        public Reading Reading { get; }
    }

    /// <summary>Follows a scale: holds its port open, polls it (every 50 ms at most) and raises ReadingChanged on
    /// each change (a weight, a status, no reading and why; a failure of the log as
    /// ReadingKind.Failure). Subscribe, then Start. It runs until Dispose, which frees the port; a
    /// monitor never disposed runs for as long as the process.
    ///
    /// With a SynchronizationContext (a form's: WindowsFormsSynchronizationContext.Current) the
    /// handlers run on it, through Post; without one they run on the monitor's own thread, where a
    /// handler must not wait on the thread that disposes the monitor (that thread waits for the
    /// handler). Dispose may be called from a handler, on either thread. After Dispose returns no
    /// handler is called (one already running on the monitor's thread was waited for).</summary>
    public sealed class ScaleMonitor : IDisposable
    {
        /// <summary>Owns the native monitor: WsrMonitorEncerra once nothing uses it.</summary>
        sealed class MonitorHandle : SafeHandleZeroOrMinusOneIsInvalid
        {
            MonitorHandle() : base(true) { }

            protected override bool ReleaseHandle()
            {
                Wsr.WsrMonitorEncerra(handle);
                return true;
            }
        }

        [DllImport(Wsr.Biblioteca, CallingConvention = CallingConvention.StdCall, EntryPoint = "WsrMonitorInicia")]
        static extern MonitorHandle Inicia(byte[] sPorta, byte[] sVelocidade, ref WsrOpcoes opcoes,
                                           WsrAoMudar ao_mudar, IntPtr contexto);

        [DllImport(Wsr.Biblioteca, CallingConvention = CallingConvention.StdCall, EntryPoint = "WsrMonitorUltima")]
        static extern int Ultima(MonitorHandle monitor, ref WsrLeitura leitura);

        [DllImport(Wsr.Biblioteca, CallingConvention = CallingConvention.StdCall, EntryPoint = "WsrMonitorFalhaLog")]
        static extern int FalhaLog(MonitorHandle monitor, byte[] mensagem, uint tamanho);

        // The one callback every monitor gets, in a static field: never collected, so the library
        // can always call it, even returning from a call in which a handler disposed its monitor.
        // contexto names the monitor in Running; a monitor no longer there is disposed.
        static readonly WsrAoMudar AoMudar = Mudou;
        static readonly ConcurrentDictionary<long, ScaleMonitor> Running = new ConcurrentDictionary<long, ScaleMonitor>();
        static long lastId;

        readonly object gate = new object();
        readonly string port;
        readonly int baud;
        readonly ScaleOptions options;
        readonly SynchronizationContext context;
        readonly long id = Interlocked.Increment(ref lastId);
        MonitorHandle monitor;
        volatile bool disposed;

        public ScaleMonitor(string port, int baud = 9600, ScaleOptions options = null, SynchronizationContext context = null)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            this.port = port;
            this.baud = baud;
            this.options = (options ?? new ScaleOptions()).Copy();
            this.context = context;
        }

        /// <summary>Raised on each change, with the new reading.</summary>
        public event EventHandler<ReadingChangedEventArgs> ReadingChanged;

        /// <summary>Starts following. ScaleException when the library refuses the options.</summary>
        public void Start()
        {
            lock (gate)
            {
                if (disposed)
                    throw new ObjectDisposedException("ScaleMonitor");
                if (monitor != null)
                    throw new InvalidOperationException("the monitor is running already");
                GCHandle pasta;
                WsrOpcoes opcoes = options.Record(out pasta);
                Running[id] = this;
                try
                {
                    monitor = Inicia(Wsr.Texto(port), Wsr.Texto(baud.ToString(CultureInfo.InvariantCulture)),
                                     ref opcoes, AoMudar, new IntPtr(id));
                }
                catch (Exception error) when (error is DllNotFoundException || error is BadImageFormatException)
                {
                    throw new LibraryNotLoadedException(error);
                }
                finally
                {
                    if (pasta.IsAllocated)
                        pasta.Free();
                    if (monitor == null || monitor.IsInvalid)
                    {
                        monitor = null;
                        Running.TryRemove(id, out _);
                    }
                }
                if (monitor == null)
                    throw new ScaleException("N\u00E3o foi poss\u00EDvel iniciar o monitor de " + port);
            }
        }

        /// <summary>The latest reading without waiting for the port; null before the first one
        /// (or before Start).</summary>
        public Reading Latest
        {
            get
            {
                WsrLeitura leitura = WsrLeitura.Nova();
                int numero;
                // Under the gate (WsrMonitorUltima never waits for the port): Dispose, which takes it
                // too, then never leaves the monitor's stop to a thread that is reading here.
                lock (gate)
                {
                    if (disposed)
                        throw new ObjectDisposedException("ScaleMonitor");
                    if (monitor == null)
                        return null;
                    numero = Ultima(monitor, ref leitura);
                }
                if (numero < 0)
                    throw new ScaleException("WsrMonitorUltima recusou a chamada (" + numero + ")");
                return numero == 0 ? null : Reading.OfMonitor(leitura);
            }
        }

        /// <summary>Why the monitor's last log line could not be written, or null while its lines are
        /// written (and before Start). The readings go on either way: a log that fails never holds up
        /// or replaces one.</summary>
        public string LogFailure
        {
            get
            {
                byte[] mensagem = new byte[Wsr.WSR_MENSAGEM_MAX];
                int falha;
                lock (gate)
                {
                    if (disposed)
                        throw new ObjectDisposedException("ScaleMonitor");
                    if (monitor == null)
                        return null;
                    falha = FalhaLog(monitor, mensagem, (uint)mensagem.Length);
                }
                return falha == 1 ? Wsr.DeTexto(mensagem) : null;
            }
        }

        /// <summary>Stops following and frees the port; no handler is raised after it returns. From
        /// outside a handler it returns once the monitor has stopped; from a handler on the
        /// monitor's thread, at once, and the monitor stops when the handler returns.</summary>
        public void Dispose()
        {
            MonitorHandle running;
            lock (gate)
            {
                if (disposed)
                    return;
                disposed = true;
                running = monitor;
            }
            if (running != null)
                running.Dispose();
            Running.TryRemove(id, out _);
        }

        static void Mudou(IntPtr leitura, IntPtr contexto)
        {
            try
            {
                ScaleMonitor monitor;
                if (!Running.TryGetValue(contexto.ToInt64(), out monitor) || monitor.disposed)
                    return;
                ReadingChangedEventArgs changed = new ReadingChangedEventArgs(Reading.OfMonitor(Wsr.Leitura(leitura)));
                if (monitor.context != null)
                    monitor.context.Post(state => monitor.Raise((ReadingChangedEventArgs)state), changed);
                else
                    monitor.Raise(changed);
            }
            catch (Exception error)
            {
                // Nothing may unwind into the library's thread.
                try { Trace.TraceError("ScaleMonitor: a ReadingChanged handler threw: {0}", error); } catch { }
            }
        }

        void Raise(ReadingChangedEventArgs changed)
        {
            EventHandler<ReadingChangedEventArgs> handlers = ReadingChanged;
            if (handlers != null && !disposed)
                handlers(this, changed);
        }
    }
}
