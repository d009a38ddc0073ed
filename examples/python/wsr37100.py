"""ctypes bindings for the wsr37100 scale library.

    import wsr37100
    scale = wsr37100.Library()                  # or Library("/path/to/libwsr37100.so")
    print(scale.busca_peso("COM1", "9600"))    # dados/ beside the Python executable
    reading = scale.busca_peso_ex("/dev/ttyUSB0", "9600", log_folder="/tmp", gap_ms=20)
    print(reading.kind, reading.weight)

Texts go to the library as Windows-1252, the module's own encoding.
"""
import ctypes
import ctypes.util
import dataclasses
import os
import sys

PESO, STATUS, SEM_LEITURA, FALHA = 0, 1, 2, 3
KINDS = {PESO: "weight", STATUS: "status", SEM_LEITURA: "no-reading", FALHA: "failure"}
REASONS = {0: None, 1: "port-unavailable", 2: "poll-failed", 3: "silence", 4: "partial-replies"}
LOG_DEFAULT, LOG_FOLDER, LOG_NONE = 0, 1, 2
MESSAGE_MAX = 512


class WsrOpcoes(ctypes.Structure):
    _fields_ = [("tamanho", ctypes.c_uint32), ("log", ctypes.c_uint32), ("pasta_log", ctypes.c_char_p),
                ("intervalo_ms", ctypes.c_uint32)]


class WsrLeitura(ctypes.Structure):
    _fields_ = [("tamanho", ctypes.c_uint32), ("tipo", ctypes.c_int32), ("peso", ctypes.c_double),
                ("motivo", ctypes.c_int32), ("consultas", ctypes.c_int32), ("bytes_resposta", ctypes.c_int32),
                ("resposta", ctypes.c_ubyte * 8), ("mensagem", ctypes.c_char * MESSAGE_MAX)]


@dataclasses.dataclass(frozen=True)
class Reading:
    kind: str            # "weight", "status", "no-reading" or "failure"
    weight: float        # as BuscaPeso returns it (NaN for a failure)
    reason: str | None   # for "no-reading": port-unavailable, poll-failed, silence, partial-replies
    polls: int
    reply: bytes         # the last reply's bytes
    message: str         # for "failure"


class ScaleError(RuntimeError):
    """A raised failure of the library (log not writable, baud text not a number)."""


def _text(value):
    return None if value is None else value.encode("cp1252")


def _default_library():
    found = os.environ.get("WSR37100_LIBRARY") or ctypes.util.find_library("wsr37100")
    if found:
        return found
    return "wsr37100.dll" if sys.platform == "win32" else "libwsr37100.so.6"


class Library:
    def __init__(self, path=None):
        loader = ctypes.WinDLL if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4 else ctypes.CDLL
        self._lib = loader(path or _default_library())
        self._lib.BuscaPeso.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._lib.BuscaPeso.restype = ctypes.c_double
        self._lib.StartBalanca.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._lib.StartBalanca.restype = ctypes.c_bool
        self._lib.BuscaPesoEx.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(WsrOpcoes),
                                          ctypes.POINTER(WsrLeitura)]
        self._lib.BuscaPesoEx.restype = ctypes.c_int32

    def start_balanca(self, port="", baud=""):
        return bool(self._lib.StartBalanca(_text(port), _text(baud)))

    def busca_peso(self, port, baud="9600"):
        """The weight result exactly as the C function returns it (NaN for a failure)."""
        return self._lib.BuscaPeso(_text(port), _text(baud))

    def busca_peso_ex(self, port, baud="9600", log_folder=None, no_log=False, gap_ms=0):
        """One reading, told in full. log_folder: where the daily log goes (default: dados beside the
        Python executable, which is rarely what a script wants)."""
        options = WsrOpcoes(ctypes.sizeof(WsrOpcoes), LOG_NONE if no_log else (LOG_FOLDER if log_folder else LOG_DEFAULT),
                            _text(log_folder), gap_ms)
        result = WsrLeitura()
        result.tamanho = ctypes.sizeof(WsrLeitura)
        self._lib.BuscaPesoEx(_text(port), _text(baud), ctypes.byref(options), ctypes.byref(result))
        return Reading(KINDS[result.tipo], result.peso, REASONS.get(result.motivo) if result.tipo == SEM_LEITURA else None,
                       result.consultas, bytes(result.resposta[:result.bytes_resposta]),
                       result.mensagem.decode("cp1252"))

    def weigh(self, port, baud="9600", **options):
        """The weight in kg, or a status value; raises ScaleError for a failure."""
        reading = self.busca_peso_ex(port, baud, **options)
        if reading.kind == "failure":
            raise ScaleError(reading.message)
        return reading.weight
