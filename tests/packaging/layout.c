#include <stdio.h>
#include <wsr37100.h>
int main(void) {
    printf("WsrOpcoes %zu pasta_log %zu quadro %zu limite_log_mb %zu; WsrLeitura %zu peso %zu mensagem %zu causa %zu estavel %zu; "
           "WsrDeteccao %zu peso %zu mensagem %zu veredito %zu bytes_lidos %zu\n",
           sizeof(WsrOpcoes), offsetof(WsrOpcoes, pasta_log), offsetof(WsrOpcoes, quadro),
           offsetof(WsrOpcoes, limite_log_mb), sizeof(WsrLeitura),
           offsetof(WsrLeitura, peso), offsetof(WsrLeitura, mensagem), offsetof(WsrLeitura, causa),
           offsetof(WsrLeitura, estavel), sizeof(WsrDeteccao), offsetof(WsrDeteccao, peso),
           offsetof(WsrDeteccao, mensagem), offsetof(WsrDeteccao, veredito), offsetof(WsrDeteccao, bytes_lidos));
    return 0;
}
