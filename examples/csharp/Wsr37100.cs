// C# declarations of every export of wsr37100.dll (include/wsr37100.h).
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
//   WsrLeitura  560 bytes on both (peso is aligned to 8)
//   WsrDeteccao 560 bytes on both
//
// Usage:
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
using System.Runtime.InteropServices;
using System.Text;

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

    /// <summary>What WsrDetecta found (struct WsrDeteccao): 560 bytes on x86 and x64.</summary>
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
            try
            {
                opcoes.log = WSR_LOG_PASTA;
                opcoes.pasta_log = pasta.AddrOfPinnedObject();
                return BuscaPesoEx(Texto(sPorta), Texto(sVelocidade), ref opcoes, ref leitura);
            }
            finally
            {
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
}
