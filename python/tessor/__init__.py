"""Tessor for Python: the agent-seat client of call recording.

A thin binding over the C API of libtessor.so, with ctypes and nothing but
the standard library::

    import tessor

    ctl = tessor.Control()                 # created and activated: this thread is its host thread
    ctl.on("LoginSuccess", lambda rtype: print("logged in, record type", rtype))
    if ctl.ConnectToORV("127.0.0.1", 5100) == 1:
        ctl.LoginToORV("2001", "A100", "1234", "T1")
        tessor.run_until(lambda: ctl.AStatus == 3, 5000)
    ctl.DisconnectFromORV()
    ctl.close()

Every method of the control is a method of :class:`Control` with the same
name and parameters (texts are ``str``; I2 parameters are ``int`` from
-32768 to 32767); the four properties are Python properties. Events reach
the handlers given to :meth:`Control.on` (or assigned as attributes, such as
``ctl.SetCurrentCallID = fn``) on the host thread, while the host loop runs
(:func:`run_for`, :func:`run_until`). A refused call raises
:class:`TessorError` with the library's status.

The library is found through the environment variable TESSOR_LIBRARY, then
beside this package, then in the installed tree this package came with,
then by the system's search (ctypes.util.find_library).
"""

import ctypes
import ctypes.util
import os
import sys
import threading
import traceback

__all__ = [
    "Control", "TessorError", "version", "registration_info", "members",
    "run_for", "run_until", "loop_fd", "loop_dispatch", "loop_next_deadline_ms",
    "set_msgbox_presenter", "library_path",
]

# ---- the C API's numbers ----------------------------------------------------------

OK = 0
E_INVALID_ARG = 1
E_WRONG_THREAD = 2
E_UNKNOWN_NAME = 3
E_ARG_COUNT = 4
E_ARG_TYPE = 5
E_OUT_OF_RANGE = 6
E_UNKNOWN_PROGID = 7
E_NOT_A_PROPERTY = 8
E_NOT_A_METHOD = 9
E_STATE = 10
E_INTERNAL = 11

EMPTY, TEXT, I2, UI2, I4, BOOL = range(6)

PROGID_CONTROL = "TESSOR.TessorCtrl.1"
PROGID_PROPPAGE = "TESSOR.TessorPropPage.1"

# The control's window messages (tessor_send_window_message).
WM_SET_CALLID = 0x465
WM_LOGIN_SUCCESS = 0x466
WM_RECTYPE_CHANGE = 0x467
WM_AGENT_STATUS_CHANGE = 0x468
WM_DISCONNECTED = 0x469
WM_SET_TELNUMBER = 0x46A

KIND_METHOD, KIND_PROPERTY, KIND_EVENT = 0, 1, 2


class TessorError(Exception):
    """A call the library refused; ``status`` is its tessor_status."""

    def __init__(self, status, where):
        self.status = status
        self.where = where
        super().__init__("%s: %s (status %d)" % (where, status_text(status), status))


class _Value(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("i", ctypes.c_int32), ("text", ctypes.c_char_p)]


class _MemberInfo(ctypes.Structure):
    _fields_ = [
        ("dispid", ctypes.c_int),
        ("name", ctypes.c_char_p),
        ("kind", ctypes.c_int),
        ("result", ctypes.c_int),
        ("nparams", ctypes.c_size_t),
        ("param_names", ctypes.POINTER(ctypes.c_char_p)),
        ("param_types", ctypes.POINTER(ctypes.c_int)),
        ("help", ctypes.c_char_p),
    ]


_EVENT_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p,
                             ctypes.POINTER(_Value), ctypes.c_size_t)
_MSGBOX_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint)
_PRED_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)

# ---- loading -------------------------------------------------------------------------

_lib = None
_lib_path = None
_load_lock = threading.Lock()


def _candidates():
    env = os.environ.get("TESSOR_LIBRARY")
    if env:
        yield env
    here = os.path.dirname(os.path.abspath(__file__))
    for name in ("libtessor.so.1", "libtessor.so"):
        yield os.path.join(here, name)
    # Installed as <prefix>/share/tessor/python/tessor beside <prefix>/lib*.
    prefix = os.path.normpath(os.path.join(here, "..", "..", "..", ".."))
    for libdir in ("lib", "lib64", os.path.join("lib", "x86_64-linux-gnu")):
        yield os.path.join(prefix, libdir, "libtessor.so.1")
    found = ctypes.util.find_library("tessor")
    if found:
        yield found
    yield "libtessor.so.1"


def _declare(lib):
    c_int, c_size_t, c_char_p, c_void_p = ctypes.c_int, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p
    handle = c_void_p
    pv = ctypes.POINTER(_Value)
    table = {
        "tessor_version": (c_char_p, []),
        "tessor_status_text": (c_char_p, [c_int]),
        "tessor_create": (c_int, [c_char_p, ctypes.POINTER(handle)]),
        "tessor_activate": (c_int, [handle]),
        "tessor_destroy": (c_int, [handle]),
        "tessor_invoke": (c_int, [handle, c_char_p, pv, c_size_t, pv]),
        "tessor_invoke_id": (c_int, [handle, c_int, pv, c_size_t, pv]),
        "tessor_get_property": (c_int, [handle, c_char_p, pv]),
        "tessor_set_property": (c_int, [handle, c_char_p, pv]),
        "tessor_connect_events": (c_int, [handle, _EVENT_FN, c_void_p, ctypes.POINTER(c_int)]),
        "tessor_disconnect_events": (c_int, [handle, c_int]),
        "tessor_set_msgbox_presenter": (None, [_MSGBOX_FN, c_void_p]),
        "tessor_send_window_message": (c_int, [handle, ctypes.c_uint, ctypes.c_ssize_t]),
        "tessor_loop_run_for": (c_int, [c_int]),
        "tessor_loop_run_until": (c_int, [_PRED_FN, c_void_p, c_int]),
        "tessor_loop_fd": (c_int, []),
        "tessor_loop_dispatch": (c_int, []),
        "tessor_loop_next_deadline_ms": (c_int, []),
        "tessor_member_count": (c_size_t, []),
        "tessor_member_at": (c_int, [c_size_t, ctypes.POINTER(_MemberInfo)]),
        "tessor_registration_info": (c_char_p, []),
    }
    for name, (restype, argtypes) in table.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def _load():
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    with _load_lock:
        if _lib is not None:
            return _lib
        errors = []
        for path in _candidates():
            if os.path.sep in path and not os.path.exists(path):
                continue
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                errors.append("%s: %s" % (path, e))
                continue
            _declare(lib)
            _install_members(lib)
            _lib_path = path
            _lib = lib
            return lib
        raise OSError("libtessor.so.1 not found (set TESSOR_LIBRARY); tried:\n  " + "\n  ".join(errors or ["nothing"]))


def library_path():
    """The path the library was loaded from."""
    _load()
    return _lib_path


# ---- values --------------------------------------------------------------------------

_INT32_MIN, _INT32_MAX = -(2 ** 31), 2 ** 31 - 1


def _to_c(value, keep, where):
    """A Python value as a tessor_value; keep holds the bytes it points to."""
    v = _Value()
    if value is None:
        v.type, v.text = TEXT, None  # an absent text
    elif isinstance(value, str):
        b = value.encode("utf-8", "surrogateescape")
        keep.append(b)
        v.type, v.text = TEXT, b
    elif isinstance(value, (bytes, bytearray)):
        b = bytes(value)  # raw bytes pass as they are (invalid UTF-8 becomes '?')
        keep.append(b)
        v.type, v.text = TEXT, b
    elif isinstance(value, bool):
        v.type, v.i = BOOL, int(value)
    elif isinstance(value, int):
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise TessorError(E_OUT_OF_RANGE, where)
        v.type, v.i = I4, value
    else:
        raise TypeError("%s: a str, None or int is expected, not %s" % (where, type(value).__name__))
    return v


def _from_c(v):
    if v.type == TEXT:
        return None if v.text is None else v.text.decode("utf-8", "replace")
    if v.type == BOOL:
        return bool(v.i)
    if v.type in (I2, UI2, I4):
        return int(v.i)
    return None


def _check(status, where):
    if status != OK:
        raise TessorError(status, where)


def status_text(status):
    """The library's text for a status code."""
    try:
        return _load().tessor_status_text(status).decode("utf-8", "replace")
    except OSError:
        return "status %d" % status


def version():
    """The library's version, "1.0.0.28"."""
    return _load().tessor_version().decode()


def registration_info():
    """The module's registration data as a dict (ProgIDs, ids, version...)."""
    out = {}
    for line in _load().tessor_registration_info().decode("utf-8").splitlines():
        key, _, value = line.partition("=")
        out[key] = value
    return out


class Member:
    """One entry of the interface description."""

    __slots__ = ("dispid", "name", "kind", "result", "params", "help")

    def __init__(self, info):
        self.dispid = info.dispid
        self.name = info.name.decode()
        self.kind = info.kind
        self.result = info.result
        self.params = [(info.param_names[i].decode(), info.param_types[i]) for i in range(info.nparams)]
        self.help = info.help.decode("utf-8")

    def __repr__(self):
        kinds = {KIND_METHOD: "method", KIND_PROPERTY: "property", KIND_EVENT: "event"}
        return "<%s %d %s(%s)>" % (kinds.get(self.kind, "?"), self.dispid, self.name,
                                  ", ".join(n for n, _ in self.params))


def _read_members(lib):
    out = []
    for i in range(lib.tessor_member_count()):
        info = _MemberInfo()
        _check(lib.tessor_member_at(i, ctypes.byref(info)), "tessor_member_at")
        out.append(Member(info))
    return out


def members():
    """The methods, properties and events of the control, in table order."""
    return _read_members(_load())


# ---- the host loop -------------------------------------------------------------------

def run_for(ms):
    """Runs this thread's host loop for ms milliseconds (events fire meanwhile)."""
    _check(_load().tessor_loop_run_for(int(ms)), "run_for")
    _raise_pending()


def run_until(pred, ms):
    """Runs the host loop until pred() is true or ms pass; answers pred()'s last value."""
    lib = _load()
    box = {"last": False, "error": None}

    def call(_user):
        try:
            box["last"] = bool(pred())
        except BaseException as e:  # stop the loop and raise it below
            box["error"] = e
            return 1
        return 1 if box["last"] else 0

    cfn = _PRED_FN(call)
    lib.tessor_loop_run_until(cfn, None, int(ms))
    if box["error"] is not None:
        raise box["error"]
    _raise_pending()
    return box["last"]


def loop_fd():
    """A descriptor that polls readable while work for this thread's loop waits."""
    return _load().tessor_loop_fd()


def loop_dispatch():
    """Runs due work without blocking; answers the number of handlers run."""
    n = _load().tessor_loop_dispatch()
    _raise_pending()
    return n


def loop_next_deadline_ms():
    """Milliseconds until the next timer, 0 when work waits, -1 when none."""
    return _load().tessor_loop_next_deadline_ms()


# Exceptions raised by event handlers, raised again once the library has
# returned to Python (ctypes would otherwise print and drop them).
_pending = threading.local()


def _raise_pending():
    err = getattr(_pending, "error", None)
    if err is not None:
        _pending.error = None
        raise err


# ---- message boxes -------------------------------------------------------------------

_presenter = None  # the ctypes callback must stay alive while installed


def set_msgbox_presenter(fn):
    """Installs fn(caption, text, style) -> button for every message box.

    It is called on the thread that shows the box, often a receive thread,
    and blocks it until it returns; None as the answer counts as OK (1).
    set_msgbox_presenter(None) restores the library's default (standard
    error, closed at once).
    """
    global _presenter
    lib = _load()
    if fn is None:
        lib.tessor_set_msgbox_presenter(_MSGBOX_FN(), None)  # a null function pointer
        _presenter = None
        return

    def call(_user, caption, text, style):
        try:
            button = fn(caption.decode("utf-8", "replace"), text.decode("utf-8", "replace"), int(style))
            return 1 if button is None else int(button)
        except BaseException:
            traceback.print_exc()
            return 1

    cfn = _MSGBOX_FN(call)
    lib.tessor_set_msgbox_presenter(cfn, None)
    _presenter = cfn


# ---- the control ---------------------------------------------------------------------

_EVENTS = {}  # name -> Member, filled when the library is loaded
_MISSING = object()


class Control:
    """One control. Created (and, unless activate=False, activated) on the
    calling thread, which becomes its host thread: call it only there."""

    def __init__(self, progid=PROGID_CONTROL, activate=True):
        lib = _load()
        object.__setattr__(self, "_lib", lib)
        object.__setattr__(self, "_h", None)
        object.__setattr__(self, "_handlers", {})
        object.__setattr__(self, "_sink", _EVENT_FN(self._on_event))
        h = ctypes.c_void_p()
        _check(lib.tessor_create(progid.encode() if progid is not None else None, ctypes.byref(h)), "create")
        object.__setattr__(self, "_h", h)
        cookie = ctypes.c_int()
        _check(lib.tessor_connect_events(h, self._sink, None, ctypes.byref(cookie)), "connect_events")
        if activate:
            self.activate()

    # -- life --

    def activate(self):
        """Creates the control's window; this thread becomes the host thread."""
        _check(self._lib.tessor_activate(self._handle()), "activate")

    def close(self):
        """Destroys the control (its window, its links and their threads)."""
        if self._h is None:
            return
        _check(self._lib.tessor_destroy(self._h), "destroy")
        object.__setattr__(self, "_h", None)
        _raise_pending()

    destroy = close

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            if getattr(self, "_h", None) is not None:
                self._lib.tessor_destroy(self._h)  # refused off the host thread: then it stays
        except Exception:
            pass

    def _handle(self):
        if self._h is None:
            raise TessorError(E_INVALID_ARG, "the control was closed")
        return self._h

    # -- methods and properties (installed from the library's description) --

    def _invoke(self, member, args, kwargs):
        values = list(args)
        if kwargs:
            names = [n for n, _ in member.params]
            values += [_MISSING] * (len(names) - len(values))
            for key, value in kwargs.items():
                if key not in names:
                    raise TypeError("%s() has no parameter %r" % (member.name, key))
                values[names.index(key)] = value
            missing = [names[i] for i, v in enumerate(values) if v is _MISSING]
            if missing:
                raise TypeError("%s() lacks %s" % (member.name, ", ".join(missing)))
        return self.invoke(member.name, *values)

    def _get(self, name):
        v = _Value()
        _check(self._lib.tessor_get_property(self._handle(), name.encode(), ctypes.byref(v)), name)
        return _from_c(v)

    def _set(self, name, value):
        keep = []
        v = _to_c(value, keep, name)
        _check(self._lib.tessor_set_property(self._handle(), name.encode(), ctypes.byref(v)), name)

    def invoke(self, name, *args):
        """Calls a method by name (as the attribute methods do)."""
        keep = []
        arr = (_Value * max(len(args), 1))(*[_to_c(v, keep, name) for v in args])
        result = _Value()
        status = self._lib.tessor_invoke(self._handle(), name.encode(), arr, len(args), ctypes.byref(result))
        _raise_pending()
        _check(status, name)
        return _from_c(result)

    def send_window_message(self, msg, lparam=0):
        """Sends a window message with wParam 0, as a receive thread does.
        From another thread it waits until the host loop has handled it."""
        _check(self._lib.tessor_send_window_message(self._handle(), int(msg), int(lparam)), "send_window_message")

    # -- events --

    def on(self, event, fn=None):
        """Adds fn as a handler of event; usable as a decorator. Handlers get
        the event's arguments (int for the 16-bit events, str for texts)."""
        if event not in _EVENTS:
            raise TessorError(E_UNKNOWN_NAME, event)
        if fn is None:
            return lambda f: self.on(event, f)
        self._handlers.setdefault(event, []).append(fn)
        return fn

    def off(self, event, fn=None):
        """Removes fn (or every handler) from event."""
        handlers = self._handlers.get(event, [])
        if fn is None:
            handlers.clear()
        elif fn in handlers:
            handlers.remove(fn)

    def __setattr__(self, name, value):
        if name in _EVENTS:
            self._handlers[name] = [] if value is None else [value]
            return
        object.__setattr__(self, name, value)

    def __getattr__(self, name):
        # Only reached for names that are not attributes: the events.
        if name in _EVENTS:
            handlers = self.__dict__.get("_handlers", {}).get(name, [])
            return handlers[-1] if handlers else None
        raise AttributeError(name)

    def _on_event(self, _user, dispid, name, args, nargs):
        try:
            event = name.decode()
            values = [_from_c(args[i]) for i in range(nargs)]
            for fn in list(self._handlers.get(event, ())):
                fn(*values)
            for fn in list(self._handlers.get("*", ())):
                fn(event, *values)
        except BaseException as e:
            if getattr(_pending, "error", None) is None:
                _pending.error = e

    # -- the loop, for convenience --

    @staticmethod
    def run_for(ms):
        run_for(ms)

    @staticmethod
    def run_until(pred, ms):
        return run_until(pred, ms)


def _make_method(member):
    def method(self, *args, **kwargs):
        return self._invoke(member, args, kwargs)

    method.__name__ = member.name
    method.__qualname__ = "Control." + member.name
    params = ", ".join(n for n, _ in member.params)
    method.__doc__ = "%s(%s)%s" % (member.name, params, (" - " + member.help) if member.help else "")
    return method


def _make_property(member):
    def fget(self):
        return self._get(member.name)

    def fset(self, value):
        self._set(member.name, value)

    return property(fget, fset, doc="%s (DISPID %d)" % (member.name, member.dispid))


def _install_members(lib):
    for m in _read_members(lib):
        if m.kind == KIND_METHOD:
            setattr(Control, m.name, _make_method(m))
        elif m.kind == KIND_PROPERTY:
            setattr(Control, m.name, _make_property(m))
        else:
            _EVENTS[m.name] = m
    _EVENTS.setdefault("*", None)  # on("*", fn): every event, fn(name, *args)


# Load at import when the library can be found, so that the methods are
# there for introspection; otherwise the first use says why.
try:
    _load()
except OSError:
    pass
