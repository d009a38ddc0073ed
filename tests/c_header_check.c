/* Compiled as C: the public header is valid C, and its entry points link and answer. */
#include <stdio.h>
#include <string.h>

#include "wsr37100.h"

int main(void) {
    WsrLeitura leitura;
    WsrOpcoes opcoes;
    WsrDeteccao deteccao;
    memset(&leitura, 0, sizeof leitura);
    memset(&opcoes, 0, sizeof opcoes);
    if (!StartBalanca(NULL, NULL)) return 1;
    if (BuscaPesoEx("COM1", "9600", &opcoes, NULL) != -1) return 2;
    leitura.tamanho = sizeof leitura;
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    if (BuscaPesoEx("nosuchport", "9600", &opcoes, &leitura) != WSR_SEM_LEITURA) return 3;
    if (leitura.motivo != WSR_MOTIVO_PORTA_INDISPONIVEL) return 4;
    memset(&deteccao, 0xAB, sizeof deteccao);
    deteccao.tamanho = sizeof deteccao;
    if (WsrDetecta("nosuchport", NULL, 0, &deteccao) != WSR_DETECCAO_PORTA_INDISPONIVEL) return 5;
    if (deteccao.veredito != WSR_LINHA_NAO_TESTADA || deteccao.bytes_lidos != 0) return 6;
    puts("c header ok");
    return 0;
}
