{ External declarations of the wsr37100 scale library.
  Linux: cdecl, libwsr37100.so.6. 32-bit Windows: stdcall, wsr37100.dll (the i686 DLL for 32-bit hosts). }
unit wsr37100;

{$mode objfpc}{$H+}
{$PACKRECORDS C}

interface

const
{$IFDEF WINDOWS}
  WsrBiblioteca = 'wsr37100.dll';
{$ELSE}
  WsrBiblioteca = 'libwsr37100.so.6';
{$ENDIF}

  WSR_LOG_PADRAO = 0;
  WSR_LOG_PASTA = 1;
  WSR_LOG_NENHUM = 2;

  WSR_DETECCAO_ENCONTRADA = 0;
  WSR_DETECCAO_NAO_ENCONTRADA = 1;
  WSR_DETECCAO_PORTA_INDISPONIVEL = 2;
  WSR_DETECCAO_SEM_VELOCIDADE = 3;
  WSR_DETECCAO_TEMPO_ESGOTADO = 4;
  WSR_DETECCAO_RECUSADA = 5;

  WSR_LINHA_NAO_TESTADA = 0;
  WSR_LINHA_QUADRO = 1;
  WSR_LINHA_LIXO = 2;
  WSR_LINHA_SILENCIO = 3;
  WSR_LINHA_VELOCIDADE_RECUSADA = 4;
  WSR_LINHA_FALHOU = 5;
  WSR_LINHA_SEM_RESPOSTA = 6;

  WSR_PESO = 0;
  WSR_STATUS = 1;
  WSR_SEM_LEITURA = 2;
  WSR_FALHA = 3;

  WSR_CAUSA_NENHUMA = 0;
  WSR_CAUSA_PORTA_INEXISTENTE = 1;
  WSR_CAUSA_SEM_PERMISSAO = 2;
  WSR_CAUSA_PORTA_OCUPADA = 3;
  WSR_CAUSA_CONFIGURACAO_RECUSADA = 4;
  WSR_CAUSA_NOME_RECUSADO = 5;
  WSR_CAUSA_OUTRA = 6;
  WSR_CAUSA_HOST_DESCONHECIDO = 7;
  WSR_CAUSA_CONEXAO_RECUSADA = 8;
  WSR_CAUSA_CONEXAO_ESGOTADA = 9;
  WSR_CAUSA_CONEXAO_PERDIDA = 10;

  WSR_QUADRO_QUALQUER = 0;
  WSR_QUADRO_7 = 7;
  WSR_QUADRO_8 = 8;

type
  TWsrOpcoes = record
    tamanho: LongWord;
    log: LongWord;
    pasta_log: PAnsiChar;
    intervalo_ms: LongWord;
    espera_estavel_ms: LongWord; { wait up to this for a stable weight }
    leituras_iguais: LongWord;   { equal weights needed, with espera_estavel_ms }
    quadro: LongWord;            { WSR_QUADRO_7 or _8: a read ends with the frame }
    limite_log_mb: LongWord;     { the most one day's log grows to, in MiB; 0: 64 }
  end;

  TWsrLeitura = record
    tamanho: LongWord;
    tipo: LongInt;
    peso: Double;
    motivo: LongInt;
    consultas: LongInt;
    bytes_resposta: LongInt;
    resposta: array[0..7] of Byte;
    mensagem: array[0..511] of AnsiChar;
    causa: LongInt;        { WSR_CAUSA_*: why the port could not be opened }
    erro_sistema: LongInt; { the system's error code behind causa }
    estavel: LongInt;      { 1 when a stable wait ended on a settled answer }
    numero: LongInt;       { from a monitor: the change's number }
  end;

  { What WsrDetecta found: 568 bytes on every platform. }
  TWsrDeteccao = record
    tamanho: LongWord;      { SizeOf(TWsrDeteccao), set before the call }
    resultado: LongInt;     { WSR_DETECCAO_* }
    velocidade: LongInt;    { with WSR_DETECCAO_ENCONTRADA: the baud rate found }
    quadro: LongInt;        { with WSR_DETECCAO_ENCONTRADA: 7 or 8 }
    tipo: LongInt;          { with WSR_DETECCAO_ENCONTRADA: WSR_PESO or WSR_STATUS }
    causa: LongInt;         { with WSR_DETECCAO_PORTA_INDISPONIVEL: WSR_CAUSA_* }
    peso: Double;           { with WSR_DETECCAO_ENCONTRADA: what BuscaPeso would return }
    erro_sistema: LongInt;
    velocidades_testadas: LongInt;
    resposta: array[0..7] of Byte;
    mensagem: array[0..511] of AnsiChar;
    veredito: LongInt;      { WSR_LINHA_*: what the last rate tried gave }
    bytes_lidos: LongInt;   { the bytes that rate's deciding poll received }
  end;

  { A monitor follows the scale on its own thread. A form that must not be
    called on a foreign thread passes nil as the callback and asks
    WsrMonitorUltima from a TTimer. }
  TWsrAoMudar = procedure(const leitura: TWsrLeitura; contexto: Pointer);
    {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF};

{ The texts go as AnsiString, as Delphi hosts declare them: the library gets
  the string's character pointer, and an empty string arrives as nil, which
  the library takes as an empty text. }
function BuscaPeso(sPorta, sVelocidade: AnsiString): Double;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
function StartBalanca(sPorta, sVelocidade: AnsiString): Boolean;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
function BuscaPesoEx(sPorta, sVelocidade: AnsiString; opcoes: Pointer; var leitura: TWsrLeitura): LongInt;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;

function WsrMonitorInicia(sPorta, sVelocidade: AnsiString; opcoes: Pointer; ao_mudar: TWsrAoMudar;
  contexto: Pointer): Pointer; {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
{ The latest reading's number (0: none yet), the reading in leitura; never waits. }
function WsrMonitorUltima(monitor: Pointer; var leitura: TWsrLeitura): LongInt;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
procedure WsrMonitorEncerra(monitor: Pointer);
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
{ 1 with why the last log line could not be written in mensagem (tamanho bytes at most), 0 while
  its lines are written; the readings go on either way. }
function WsrMonitorFalhaLog(monitor: Pointer; mensagem: PAnsiChar; tamanho: LongWord): LongInt;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
{ The lines the day's log of opcoes (nil: the default log) has dropped past its bound so far today
  in linhas (0 under it); returns 0, 1 when the day's file cannot be read (why in mensagem, tamanho
  bytes at most; mensagem may be nil), -1 refused. }
function WsrLogDescartadas(opcoes: Pointer; out linhas: UInt64; mensagem: PAnsiChar; tamanho: LongWord): LongInt;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
{ Probes the port at each rate of sVelocidades ('' : 2400,4800,9600,19200) within limite_ms (0: 3000). }
function WsrDetecta(sPorta, sVelocidades: AnsiString; limite_ms: LongWord; var deteccao: TWsrDeteccao): LongInt;
  {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;
function WsrVersao: PAnsiChar; {$IFDEF WINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external WsrBiblioteca;

implementation

end.
