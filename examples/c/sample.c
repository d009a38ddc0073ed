/* A C host: one reading, told in full, and the plain weight call.
 * Usage: sample PORT [BAUD] */
#include <stdio.h>
#include <string.h>

#include <wsr37100.h>

int main(int argc, char **argv) {
    const char *port = argc > 1 ? argv[1] : "COM1";
    const char *baud = argc > 2 ? argv[2] : "9600";
    WsrOpcoes opcoes;
    WsrLeitura leitura;

    StartBalanca(port, baud);

    memset(&opcoes, 0, sizeof opcoes);
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM; /* WSR_LOG_PADRAO writes to dados/ beside this program */
    opcoes.intervalo_ms = 20;    /* a 7-byte reply comes back in ~20 ms instead of 1 s */
    memset(&leitura, 0, sizeof leitura);
    leitura.tamanho = sizeof leitura;

    switch (BuscaPesoEx(port, baud, &opcoes, &leitura)) {
    case WSR_PESO:
        printf("peso: %.3f kg\n", leitura.peso);
        return 0;
    case WSR_STATUS:
        printf("status: %.0f\n", leitura.peso);
        return 2;
    case WSR_SEM_LEITURA:
        printf("sem leitura (motivo %d)\n", (int)leitura.motivo);
        return 3;
    default:
        printf("falha: %s\n", leitura.mensagem);
        return 4;
    }
}
