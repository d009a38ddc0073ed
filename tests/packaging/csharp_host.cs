// A C# host on the declarations of examples/csharp/Wsr37100.cs, run by Mono:
//   csharp_host layout          the records' sizes and the fields' offsets
//   csharp_host PORT            one reading: "peso: 7.500 kg", or the message
//   csharp_host PORT seguir     a monitor with a callback, until its first weight
using System;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Threading;
using Wsr37100;

static class Host
{
    static int Main(string[] args)
    {
        if (args[0] == "layout")
        {
            Console.WriteLine("WsrOpcoes {0} pasta_log {1} quadro {2} limite_log_mb {3}; WsrLeitura {4} peso {5} mensagem {6} causa {7} estavel {8}; "
                              + "WsrDeteccao {9} peso {10} mensagem {11} veredito {12} bytes_lidos {13}",
                Marshal.SizeOf(typeof(WsrOpcoes)), Marshal.OffsetOf(typeof(WsrOpcoes), "pasta_log"),
                Marshal.OffsetOf(typeof(WsrOpcoes), "quadro"), Marshal.OffsetOf(typeof(WsrOpcoes), "limite_log_mb"),
                Marshal.SizeOf(typeof(WsrLeitura)),
                Marshal.OffsetOf(typeof(WsrLeitura), "peso"), Marshal.OffsetOf(typeof(WsrLeitura), "mensagem"),
                Marshal.OffsetOf(typeof(WsrLeitura), "causa"), Marshal.OffsetOf(typeof(WsrLeitura), "estavel"),
                Marshal.SizeOf(typeof(WsrDeteccao)), Marshal.OffsetOf(typeof(WsrDeteccao), "peso"),
                Marshal.OffsetOf(typeof(WsrDeteccao), "mensagem"), Marshal.OffsetOf(typeof(WsrDeteccao), "veredito"),
                Marshal.OffsetOf(typeof(WsrDeteccao), "bytes_lidos"));
            return 0;
        }
        WsrOpcoes opcoes = WsrOpcoes.Padrao();
        opcoes.log = Wsr.WSR_LOG_NENHUM;
        opcoes.intervalo_ms = 20;
        WsrLeitura leitura = WsrLeitura.Nova();
        if (args.Length > 1)
        {
            double peso = double.NaN;
            ManualResetEvent pesou = new ManualResetEvent(false);
            WsrAoMudar aoMudar = (ponteiro, contexto) =>
            {
                WsrLeitura mudou = Wsr.Leitura(ponteiro);
                if (mudou.tipo == Wsr.WSR_PESO) { peso = mudou.peso; pesou.Set(); }
            };
            IntPtr monitor = Wsr.WsrMonitorInicia(args[0], "9600", ref opcoes, aoMudar, IntPtr.Zero);
            bool seguiu = pesou.WaitOne(10000);
            int numero = Wsr.WsrMonitorUltima(monitor, ref leitura);
            Wsr.WsrMonitorEncerra(monitor);
            GC.KeepAlive(aoMudar);
            Console.WriteLine(seguiu && numero > 0 ? string.Format(CultureInfo.InvariantCulture, "seguiu: {0:0.000} kg", peso) : "parado");
            return 0;
        }
        int tipo = Wsr.BuscaPesoEx(args[0], "9600", ref opcoes, ref leitura);
        if (tipo == Wsr.WSR_PESO && Wsr.StartBalanca(args[0], "9600"))
            Console.WriteLine(string.Format(CultureInfo.InvariantCulture, "peso: {0:0.000} kg ({1})", leitura.peso, Wsr.WsrVersao()));
        else
            Console.WriteLine("{0} {1} {2}: {3}", tipo, leitura.motivo, leitura.causa, leitura.Mensagem);
        return 0;
    }
}
