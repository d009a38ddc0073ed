{ An Object Pascal host: exemplo PORTA [VELOCIDADE] }
program exemplo;

{$mode objfpc}{$H+}

uses
  wsr37100;

var
  Porta, Velocidade: AnsiString;
  Opcoes: TWsrOpcoes;
  Leitura: TWsrLeitura;
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

  case BuscaPesoEx(Porta, Velocidade, @Opcoes, Leitura) of
    WSR_PESO: WriteLn('peso: ', Leitura.peso:0:3, ' kg');
    WSR_STATUS: WriteLn('status: ', Leitura.peso:0:0);
    WSR_SEM_LEITURA: WriteLn('sem leitura (motivo ', Leitura.motivo, ')');
  else
    WriteLn('falha: ', PAnsiChar(@Leitura.mensagem[0]));
  end;
end.
