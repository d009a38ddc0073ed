/* wsr37100: reads the current weight from a retail scale on a serial port.
 *
 * Every function here is thread safe and keeps nothing between calls: each call
 * opens the port, polls the scale with ENQ (up to five times), decodes its
 * reply, closes the port and returns. No exception or signal ever leaves the
 * library.
 *
 * Texts are 8-bit (Windows-1252). A null pointer is taken as an empty text.
 * On 32-bit Windows the functions are __stdcall and exported under their plain
 * names; elsewhere they use the platform's C convention.
 */
#ifndef WSR37100_H
#define WSR37100_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "wsr37100_export.h"

/* The version of this header; WsrVersao() tells the version of the library loaded. */
#define WSR37100_VERSION_MAJOR 6
#define WSR37100_VERSION_MINOR 49
#define WSR37100_VERSION_PATCH 9
#define WSR37100_VERSION_STRING "6.49.9"

#ifdef __cplusplus
extern "C" {
#endif

/* The loaded library's version, "major.minor.patch" ("6.49.9"): a static
 * text, never null, for a host to write into its own log. Thread safe. */
WSR37100_API const char *WSR37100_CALL WsrVersao(void);

/* Reads the weight from the scale on port sPorta ("COM1", or on Linux also
 * "ttyUSB0" or a path; or a serial device server: "tcp://HOST:PORT" for raw
 * TCP, "rfc2217://HOST:PORT" for Telnet with the COM port option, where the
 * module sets the baud rate) at baud rate sVelocidade (decimal digits, "9600").
 * Writes every step to dados/logWSR37100_DDMM.txt beside the host executable.
 * Returns:
 *   the weight in kilograms (0 for an empty scale);
 *   -1, -2, -10  the scale answered a status, or an unreadable text (-1):
 *                "I" -1: unstable, the weight is still in motion;
 *                "N" -2: negative, below zero;
 *                "S" -10: overload, above the scale's capacity;
 *   0            no reading could be had (port missing or busy, silence, ...);
 *   a quiet NaN  a raised failure: the log could not be written (the folder
 *                dados is missing), or sVelocidade is not a whole number.
 *                Test it with x != x, or use BuscaPesoEx to learn why. */
WSR37100_API double WSR37100_CALL BuscaPeso(const char *sPorta, const char *sVelocidade);

/* Does nothing and returns true; both arguments are ignored. */
WSR37100_API bool WSR37100_CALL StartBalanca(const char *sPorta, const char *sVelocidade);

/* Where BuscaPesoEx writes its log. */
enum {
    WSR_LOG_PADRAO = 0, /* the folder dados beside the host executable, as BuscaPeso */
    WSR_LOG_PASTA = 1,  /* the folder in WsrOpcoes.pasta_log (it must exist) */
    WSR_LOG_NENHUM = 2  /* no log at all */
};

/* Options of BuscaPesoEx. A null pointer means all defaults. A field that
 * does not lie wholly inside tamanho takes its default, so a caller built
 * against an older, shorter record keeps the behaviour it had. */
typedef struct WsrOpcoes {
    uint32_t tamanho;      /* sizeof(WsrOpcoes), set by the caller */
    uint32_t log;          /* WSR_LOG_PADRAO (default), WSR_LOG_PASTA or WSR_LOG_NENHUM */
    const char *pasta_log; /* with WSR_LOG_PASTA: the log folder, 8-bit text */
    uint32_t intervalo_ms; /* inter-byte gap of the serial read in ms: once a byte came, the read
                              also ends when no further byte comes within it. 0 (default): every
                              read waits for 8 bytes or 1000 ms. 20 suits most scales. */
    uint32_t espera_estavel_ms; /* BuscaPesoEx: wait up to this long for a stable weight, the port
                              open all along and the polls back to back. The wait ends on the first
                              weight (see leituras_iguais), on an N or S status, or when a poll
                              gets no answer; on time-out the last answer stands as it is (-1,
                              WSR_STATUS: the scale never settled) and estavel is 0.
                              0 (default): one reading, as BuscaPeso. */
    uint32_t leituras_iguais; /* with espera_estavel_ms: equal consecutive weights needed before
                              one is taken. 0 or 1 (default): the scale's own judgement. */
    uint32_t quadro;       /* the frame the scale sends: WSR_QUADRO_7, WSR_QUADRO_8, or
                              WSR_QUADRO_QUALQUER (0, default). With 7 or 8 a read ends as soon
                              as that many bytes came, without waiting out the gap. */
    uint32_t limite_log_mb; /* the most one day's log file grows to, in MiB: 0 (default) is 64.
                              Past it the day's further lines are dropped, and one closing line
                              at the end of the file counts them. */
} WsrOpcoes;

/* WsrOpcoes.quadro */
enum {
    WSR_QUADRO_QUALQUER = 0,
    WSR_QUADRO_7 = 7, /* STX, five digits, ETX */
    WSR_QUADRO_8 = 8  /* STX, six characters, ETX */
};

/* What kind of answer a reading gave (WsrLeitura.tipo). */
enum {
    WSR_PESO = 0,        /* a weight, 0 included */
    WSR_STATUS = 1,      /* a status: peso is -1 (unstable, or unreadable), -2 (negative) or -10 (overload) */
    WSR_SEM_LEITURA = 2, /* no reading: peso is 0, motivo tells why */
    WSR_FALHA = 3        /* a raised failure: peso is NaN, mensagem tells why */
};

/* Why there was no reading (WsrLeitura.motivo). */
enum {
    WSR_MOTIVO_NENHUM = 0,             /* there was a reading */
    WSR_MOTIVO_PORTA_INDISPONIVEL = 1, /* the port could not be opened or configured: causa tells why */
    WSR_MOTIVO_CONSULTA_FALHOU = 2,    /* the poll's write or read failed (cable unplugged) */
    WSR_MOTIVO_SILENCIO = 3,           /* the scale sent nothing within 1000 ms */
    WSR_MOTIVO_RESPOSTAS_PARCIAIS = 4  /* five replies of 1 to 6 bytes */
};

/* Why the port could not be opened (WsrLeitura.causa), with WSR_MOTIVO_PORTA_INDISPONIVEL;
 * with WSR_MOTIVO_CONSULTA_FALHOU, WSR_CAUSA_CONEXAO_PERDIDA when a network link dropped. */
enum {
    WSR_CAUSA_NENHUMA = 0,               /* the port opened, or there was no attempt */
    WSR_CAUSA_PORTA_INEXISTENTE = 1,     /* no such device (wrong name, adapter unplugged) */
    WSR_CAUSA_SEM_PERMISSAO = 2,         /* access denied (on Linux: join the port's group, dialout) */
    WSR_CAUSA_PORTA_OCUPADA = 3,         /* another program holds the port */
    WSR_CAUSA_CONFIGURACAO_RECUSADA = 4, /* the device refused the settings (a baud rate it cannot do) */
    WSR_CAUSA_NOME_RECUSADO = 5,         /* not a serial port (a terminal, a file, a network path): not opened */
    WSR_CAUSA_OUTRA = 6,                 /* any other failure; erro_sistema has the system's code */
    /* tcp:// and rfc2217:// ports */
    WSR_CAUSA_HOST_DESCONHECIDO = 7,     /* the host name does not resolve */
    WSR_CAUSA_CONEXAO_RECUSADA = 8,      /* nothing listens on that port */
    WSR_CAUSA_CONEXAO_ESGOTADA = 9,      /* no answer to the connection within 1000 ms */
    WSR_CAUSA_CONEXAO_PERDIDA = 10       /* the connection dropped during a poll */
};

#define WSR_MENSAGEM_MAX 512

/* One reading, told in full. Owned by the caller. Only the fields that lie
 * wholly inside tamanho are written, so a record declared by an older or
 * packed declaration (548 bytes: everything up to mensagem) still works. */
typedef struct WsrLeitura {
    uint32_t tamanho;          /* sizeof(WsrLeitura), set by the caller before the call; at least
                                  the end of mensagem */
    int32_t tipo;              /* WSR_PESO, WSR_STATUS, WSR_SEM_LEITURA or WSR_FALHA */
    double peso;               /* exactly what BuscaPeso would have returned */
    int32_t motivo;            /* with WSR_SEM_LEITURA: WSR_MOTIVO_*; else WSR_MOTIVO_NENHUM */
    int32_t consultas;         /* polls sent by the call, 0 to 5 (more with espera_estavel_ms) */
    int32_t bytes_resposta;    /* bytes the last poll received, 0 to 8 */
    unsigned char resposta[8]; /* those bytes (the rest of the array is zero) */
    char mensagem[WSR_MENSAGEM_MAX]; /* NUL-terminated 8-bit text, cut to fit: with WSR_FALHA the
                                        failure; with WSR_MOTIVO_PORTA_INDISPONIVEL the device path
                                        and the reason; else "" */
    int32_t causa;             /* with WSR_MOTIVO_PORTA_INDISPONIVEL (or a dropped connection): WSR_CAUSA_*;
                                  else WSR_CAUSA_NENHUMA */
    int32_t erro_sistema;      /* the system's error code behind causa (errno, GetLastError()), or 0 */
    int32_t estavel;           /* with espera_estavel_ms: 1 when the wait ended on a settled answer,
                                  0 when it ran out (or there was no wait) */
    int32_t numero;            /* from a monitor (its callback or WsrMonitorUltima): the change's
                                  number, as WsrMonitorUltima returns it; a host that hears of a
                                  change both ways takes each number once. 0 elsewhere */
} WsrLeitura;

/* The same reading as BuscaPeso, with options, reported whole in *leitura.
 * With opcoes null (or all defaults) its weight result and its log are byte
 * for byte those of BuscaPeso.
 * Returns leitura->tipo. A record too short to hold the fields up to
 * mensagem is refused: tipo becomes WSR_FALHA where it fits (and the reason
 * goes into as much of mensagem as fits), nothing else is done, and the call
 * returns WSR_FALHA. A null leitura returns -1. */
WSR37100_API int32_t WSR37100_CALL BuscaPesoEx(const char *sPorta, const char *sVelocidade,
                                               const WsrOpcoes *opcoes, WsrLeitura *leitura);

/* Following the scale: a monitor holds the port open (exclusively), polls it
 * at most every 50 ms and reports each change of the reading (weight, status, no
 * reading and its reason). When the scale goes away it reports "no reading"
 * once and tries to reopen the port every 500 ms. The log gets a line on
 * open, close and each change, not one per poll.
 *
 * The callback runs on the monitor's own thread, with a full WsrLeitura that
 * is valid only during the call; on 32-bit Windows it is __stdcall. Hosts
 * that cannot take a call on a foreign thread (VB6, most Object Pascal
 * forms) pass a null callback and ask WsrMonitorUltima from a timer. */
typedef void(WSR37100_CALL *WsrAoMudar)(const WsrLeitura *leitura, void *contexto);

typedef struct WsrMonitor WsrMonitor;

/* Starts a monitor on the port with the options (null: defaults; the gap,
 * the frame and the log apply, the stable wait does not). ao_mudar may be
 * null. Returns the monitor, or null when the options are invalid or no
 * thread could be started. The first callback may run before this call has
 * returned to the host: a callback that needs the monitor (to stop it) gets
 * it as its contexto when contexto is null here. */
WSR37100_API WsrMonitor *WSR37100_CALL WsrMonitorInicia(const char *sPorta, const char *sVelocidade,
                                                        const WsrOpcoes *opcoes, WsrAoMudar ao_mudar,
                                                        void *contexto);

/* Copies the latest reading into *leitura without waiting for the port and
 * returns its number: 1 for the first reading, counting up with each change,
 * 0 while there is none yet (leitura is then left as it was). Returns -1 for
 * a null monitor or leitura, or a record too short (see BuscaPesoEx).
 * A monitor whose poll (or log line, or callback) has not ended 1000 ms past
 * its time-out is stalled (a driver whose read never returns, a callback that
 * blocks): this call then gives WSR_FALHA, "monitor parado há N ms", as a
 * change of its own, never the reading from before, and no callback runs
 * until the monitor moves again; it then reports its reading, changed or not. */
WSR37100_API int32_t WSR37100_CALL WsrMonitorUltima(WsrMonitor *monitor, WsrLeitura *leitura);

/* The monitor's log, apart from its readings: a change is told first and its
 * log line written after, so a log that cannot be written (a full disk, a
 * missing folder, a lock another program holds) never delays, hides or
 * replaces a reading. While the last line could not be written, copies why
 * into mensagem (tamanho bytes at most, NUL included, cut to fit) and returns
 * 1; returns 0 while lines are written (mensagem then gets ""). The monitor
 * tries again once a second. Returns -1 for a null monitor or mensagem. */
WSR37100_API int32_t WSR37100_CALL WsrMonitorFalhaLog(WsrMonitor *monitor, char *mensagem, uint32_t tamanho);

/* The lines the day's log has dropped so far today past its bound
 * (limite_log_mb), whichever program's lines they were: the count the closing
 * line at the end of the day's file carries. opcoes names the log as for
 * BuscaPesoEx (null: the default log, "dados" beside the host program;
 * WSR_LOG_NENHUM: always 0). *linhas is 0 while the day's file is absent or
 * under its bound. Reads the file's end only; creates and writes nothing;
 * thread safe. A log on a network share that hangs holds this call up: a host
 * whose answers must not wait calls it from a thread of its own.
 * Returns 0 with *linhas set; 1 when the day's file (or the host program's
 * folder) cannot be read, *linhas 0 and why in mensagem (tamanho bytes at
 * most, NUL included, cut to fit; mensagem may be null); -1 for a null linhas
 * or invalid options. mensagem gets "" when the call does not return 1. */
WSR37100_API int32_t WSR37100_CALL WsrLogDescartadas(const WsrOpcoes *opcoes, uint64_t *linhas, char *mensagem,
                                                     uint32_t tamanho);

/* Stops the monitor and frees it; returns within 50 ms even in the middle of
 * a read, and no callback runs after it returns. A callback under way is
 * waited for: one that blocks holds this call up, and one that waits for a
 * lock the stopping thread holds deadlocks it, so a callback must never wait
 * on the thread that stops the monitor. May be called from inside
 * the callback: the monitor then stops once the callback returns, and its
 * thread ends moments later, so the host must not unload the library in that
 * same moment (stop it from outside the callback first). A null monitor is
 * ignored. */
WSR37100_API void WSR37100_CALL WsrMonitorEncerra(WsrMonitor *monitor);

/* Finding the scale: which rate it answers at and which frame it sends, for a
 * till's settings screen. A serial port is probed as a guest: a port another
 * program holds (a lock file, or on Linux open elsewhere as far as /proc
 * shows this user) is reported busy without being opened, and the port's
 * settings are put back after the probe. An rfc2217:// server's port is left
 * at the last rate tried. */

/* The outcome of WsrDetecta (WsrDeteccao.resultado). */
enum {
    WSR_DETECCAO_ENCONTRADA = 0,         /* a scale answered well-formed frames on two polls in a row */
    WSR_DETECCAO_NAO_ENCONTRADA = 1,     /* every rate was tried, none gave two well-formed frames;
                                            mensagem tells what each rate gave */
    WSR_DETECCAO_PORTA_INDISPONIVEL = 2, /* the port could not be opened (or is busy): causa, erro_sistema, mensagem */
    WSR_DETECCAO_SEM_VELOCIDADE = 3,     /* a raw tcp:// port: no rate can be set through it */
    WSR_DETECCAO_TEMPO_ESGOTADO = 4,     /* the time budget ran out before a scale was found */
    WSR_DETECCAO_RECUSADA = 5            /* refused arguments (a rate list that is not numbers, a short record) */
};

/* What the last rate tried gave (WsrDeteccao.veredito). */
enum {
    WSR_LINHA_NAO_TESTADA = 0,         /* no rate was tried */
    WSR_LINHA_QUADRO = 1,              /* well-formed frames of one size on two polls in a row */
    WSR_LINHA_LIXO = 2,                /* bytes that are no frame: a wrong rate, a frame that never closes,
                                          or frames of two sizes */
    WSR_LINHA_SILENCIO = 3,            /* nothing within the wait */
    WSR_LINHA_VELOCIDADE_RECUSADA = 4, /* the device would not take the rate */
    WSR_LINHA_FALHOU = 5,              /* the line failed (a hang-up, a dropped connection) */
    WSR_LINHA_SEM_RESPOSTA = 6         /* an rfc2217:// server took the connection, then did not answer
                                          its negotiation */
};

/* What WsrDetecta found. Owned by the caller. Only the fields that lie wholly
 * inside tamanho are written, so a record declared against an older header
 * (560 bytes: everything up to mensagem) still works. */
typedef struct WsrDeteccao {
    uint32_t tamanho;          /* sizeof(WsrDeteccao), 568, set by the caller before the call; at least
                                  the end of mensagem (560) */
    int32_t resultado;         /* WSR_DETECCAO_* */
    int32_t velocidade;        /* with WSR_DETECCAO_ENCONTRADA: the baud rate found; else 0 */
    int32_t quadro;            /* with WSR_DETECCAO_ENCONTRADA: 7 or 8 (WSR_QUADRO_7, WSR_QUADRO_8); else 0 */
    int32_t tipo;              /* with WSR_DETECCAO_ENCONTRADA: WSR_PESO or WSR_STATUS, what the scale said;
                                  else WSR_SEM_LEITURA */
    int32_t causa;             /* with WSR_DETECCAO_PORTA_INDISPONIVEL: WSR_CAUSA_*; else WSR_CAUSA_NENHUMA */
    double peso;               /* with WSR_DETECCAO_ENCONTRADA: the value BuscaPeso would return for that frame */
    int32_t erro_sistema;      /* the system's error code behind causa, or 0 */
    int32_t velocidades_testadas; /* how many rates were tried */
    unsigned char resposta[8]; /* with WSR_DETECCAO_ENCONTRADA: the last frame (the rest of the array is zero) */
    char mensagem[WSR_MENSAGEM_MAX]; /* NUL-terminated 8-bit text, cut to fit: what was found, or what each
                                        rate gave ("2400: silencio; 4800: ..."), or why nothing was tried */
    int32_t veredito;          /* what the last rate tried gave: WSR_LINHA_*; WSR_LINHA_NAO_TESTADA when
                                  no rate was tried (velocidades_testadas is 0) */
    int32_t bytes_lidos;       /* the bytes that rate's deciding poll received, 0 to 8 */
} WsrDeteccao;

/* Probes the port sPorta (named as for BuscaPeso; rfc2217:// too, raw tcp:// is
 * refused with WSR_DETECCAO_SEM_VELOCIDADE) at each rate of sVelocidades in
 * turn ("2400,4800,9600,19200", which is also what null or "" means; at most
 * 16 rates), polling with ENQ and waiting at each rate for a reply's wire time
 * plus 200 ms, and before a rate is taken for silent up to 500 ms more, as far
 * as limite_ms leaves room (a busy machine may answer late; BuscaPeso waits a
 * second). What the line still carries before a rate's first poll is dropped.
 * Stops at the first rate that gives well-formed 7- or 8-byte
 * frames of one size on two polls in a row. A rate is tried only while
 * limite_ms (0: 3000) still holds both its polls, so the call keeps to it but
 * for opening the port (a network connect may take up to its own 1000 ms, and
 * an rfc2217:// server that does not answer its negotiation costs 1000 ms).
 * Writes no log. Thread safe; probing several ports at once from
 * several threads is how a host searches them all.
 * Returns deteccao->resultado, or -1 for a null deteccao. A record too short
 * to hold the fields up to mensagem is refused: resultado becomes
 * WSR_DETECCAO_RECUSADA where it fits and nothing else is done. */
WSR37100_API int32_t WSR37100_CALL WsrDetecta(const char *sPorta, const char *sVelocidades, uint32_t limite_ms,
                                              WsrDeteccao *deteccao);

#ifdef __cplusplus
}
#endif

#endif /* WSR37100_H */
