"""Places a call through the phone application from Python, with ctypes:
subscribes to the phone's notifications, dials, takes the line off hook,
hangs up and prints every notification as it arrives.

    python kestrova_demo.py [name [number]]

Loads the KestrovaAPI.dll that matches this Python: ..\\x64\\bin for 64-bit
Python, ..\\x86\\bin for 32-bit, as in the release package; KESTROVA_DLL
names another.
"""
import ctypes
import os
import sys
import time
import traceback
from ctypes import wintypes

here = os.path.dirname(os.path.abspath(__file__))
edition = "x64" if ctypes.sizeof(ctypes.c_void_p) == 8 else "x86"
# By its full path: since Python 3.8, a DLL given by name is looked for only
# in Python's own folder and the system's, not in the current folder or the
# script's.
dll_path = os.path.abspath(os.environ.get("KESTROVA_DLL") or
                           os.path.join(here, "..", edition, "bin", "KestrovaAPI.dll"))

# The library's functions are cdecl: CDLL and CFUNCTYPE, not WinDLL and
# WINFUNCTYPE. Text is bytes in the ANSI code page ("mbcs").
kestrova = ctypes.CDLL(dll_path)
ObserverCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p))
NO_OBSERVER = ObserverCallback()  # NULL: matches when no observer is registered
for function, arguments in [
    (kestrova.kestrovaAddObserver, [ObserverCallback]),
    (kestrova.kestrovaRemoveObserver, [ObserverCallback]),
    (kestrova.kestrovaDial, [ctypes.c_char_p, ctypes.c_char_p]),
    (kestrova.kestrovaHookOff, []),
    (kestrova.kestrovaHangUp, []),
]:
    function.argtypes = arguments
    function.restype = ctypes.c_int

user32 = ctypes.WinDLL("user32")
user32.PeekMessageA.argtypes = [ctypes.POINTER(wintypes.MSG), wintypes.HWND, wintypes.UINT,
                                wintypes.UINT, wintypes.UINT]
user32.TranslateMessage.argtypes = [ctypes.POINTER(wintypes.MSG)]
user32.DispatchMessageA.argtypes = [ctypes.POINTER(wintypes.MSG)]
PM_REMOVE = 1

heard = []
# A Ctrl+C or exit met inside the observer, raised again outside it by pump().
interrupted = []


def on_notification(count, tokens):
    """Called on this thread while pump() dispatches messages, inside the
    phone application's DDE transaction: it only records and prints. The
    tokens live only during the call: they are copied out as str. Nothing
    may escape it into the library: an error is printed, a Ctrl+C is handed
    on to pump()."""
    try:
        words = [tokens[i].decode("mbcs", "replace") for i in range(count)]
        heard.append(words)
        arguments = ", ".join('"%s"' % word for word in words[1:])
        print("    phone says: " + " ".join(filter(None, [words[0], arguments])), flush=True)
    except Exception:
        traceback.print_exc()
    except BaseException as stop:
        interrupted.append(stop)


def pump(seconds, until=lambda: False):
    """Dispatches this thread's window messages for a while: notifications
    arrive only then. A console program has no message loop of its own."""
    message = wintypes.MSG()
    end = time.monotonic() + seconds
    while time.monotonic() < end and not until():
        while user32.PeekMessageA(ctypes.byref(message), None, 0, 0, PM_REMOVE):
            user32.TranslateMessage(ctypes.byref(message))
            user32.DispatchMessageA(ctypes.byref(message))
        if interrupted:
            raise interrupted.pop()
        time.sleep(0.01)


def heard_word(word):
    return lambda: any(word in words for words in heard)


def report(what, result):
    print("%-34s -> %d%s" % (what, result, " (ok)" if result == 0 else ""), flush=True)
    return result


def subscribe(observer):
    """The first request also starts the phone application, which takes a
    moment to be ready: retry for a while. Before each retry the link of the
    failed try is closed: should the phone application quit or crash and
    start again meanwhile, a retry on that link would reach the one that
    went, and fail every time."""
    result = -1
    for _ in range(40):
        result = kestrova.kestrovaAddObserver(observer)
        if result != -1:
            break
        kestrova.kestrovaRemoveObserver(NO_OBSERVER)
        pump(0.25)
    return result


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "Ann Example"
    number = sys.argv[2] if len(sys.argv) > 2 else "+1 555 0100"
    print("KestrovaAPI demo: calling %s at %s\n" % (name, number))

    # The callback object must outlive the subscription: keep a reference
    # until kestrovaRemoveObserver has returned.
    observer = ObserverCallback(on_notification)
    result = report("kestrovaAddObserver (subscribe)", subscribe(observer))
    if result != 0:
        print("\nNo phone application handles the \"dial\" action on .vcf files." if result > 0
              else "\nThe phone application could not be reached.")
        return 1
    try:
        report("kestrovaDial", kestrova.kestrovaDial(name.encode("mbcs"), number.encode("mbcs")))
        pump(10, heard_word("ringing"))  # the phone has read the card
        report("kestrovaHookOff (take the line)", kestrova.kestrovaHookOff())
        pump(5, heard_word("connected"))
        report("kestrovaHangUp", kestrova.kestrovaHangUp())
        pump(5, heard_word("ended"))
    finally:
        report("kestrovaRemoveObserver", kestrova.kestrovaRemoveObserver(observer))
    print("\nDone.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
