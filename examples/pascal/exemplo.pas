{ An Object Pascal host: exemplo PORTA [VELOCIDADE [seguir]]
  With "seguir" it follows the scale as a form's timer would: a monitor with
  no callback, asked for its latest reading every 50 ms, three changes long. }
program exemplo;

{$mode objfpc}{$H+}

uses
  SysUtils, wsr37100;

var
  Porta, Velocidade: AnsiString;
  Opcoes: TWsrOpcoes;
  Leitura: TWsrLeitura;
  Monitor: Pointer;
  Visto, Numero, Voltas: LongInt;
begin
  Porta := ParamStr(1);
  Velocidade := '9600';
  if ParamCount > 1 then
    Velocidade := ParamStr(2);

  if not StartBalanca(Porta, '') then
    Halt(1);

  FillChar(Opcoes, SizeOf(Opcoes), 0);
  Opcoes.tamanho := SizeOf(Opcoes);
  Opcoes.log := WSR_LOG_NENHUM;
  Opcoes.intervalo_ms := 20;
  FillChar(Leitura, SizeOf(Leitura), 0);
  Leitura.tamanho := SizeOf(Leitura);

  if ParamStr(3) = 'seguir' then
  begin
    Opcoes.quadro := WSR_QUADRO_8;
    Monitor := WsrMonitorInicia(Porta, Velocidade, @Opcoes, nil, nil);
    Visto := 0;
    Voltas := 0;
    while (Visto < 3) and (Voltas < 100) do
    begin
      Numero := WsrMonitorUltima(Monitor, Leitura);
      if Numero > Visto then
        Visto := Numero;  { Leitura holds the latest weight: show it on the form }
      Sleep(50);
      Inc(Voltas);
    end;
    WsrMonitorEncerra(Monitor);
    if Visto >= 3 then
      WriteLn('seguiu')
    else
      WriteLn('parou em ', Visto, ' mudancas');
    Halt(0);
  end;

  case BuscaPesoEx(Porta, Velocidade, @Opcoes, Leitura) of
    WSR_PESO: WriteLn('peso: ', Leitura.peso:0:3, ' kg');
    WSR_STATUS: WriteLn('status: ', Leitura.peso:0:0);
    WSR_SEM_LEITURA: WriteLn('sem leitura (motivo ', Leitura.motivo, ')');
  else
    WriteLn('falha: ', PAnsiChar(@Leitura.mensagem[0]));
  end;
end.
