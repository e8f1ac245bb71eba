#!/usr/bin/python3
# Automation bridge between the console and a headless LibreOffice Calc.
#
# The console starts this script and talks to it over stdin/stdout, one JSON
# object per line in each direction, one answer for each request:
#
#   {"id": 1, "op": "create", "progid": "Excel.Application",
#    "profile": "file:///tmp/...", "pipe": "name", "timeout": 60}
#   {"id": 2, "op": "get", "obj": 1, "name": "Workbooks", "args": []}
#   {"id": 3, "op": "set", "obj": 5, "name": "Value", "value": "x"}
#   {"id": 4, "op": "call", "obj": 1, "name": "Run", "args": ["datos.xls!CargaDatos"]}
#   {"id": 5, "op": "release", "obj": 1}
#
# Answers: {"id": n, "ok": true, "value": ..., "object": handle} or
# {"id": n, "ok": false, "error": "text"}. Diagnostics go to stderr.
# When stdin ends, every office this bridge started is ended.

import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import uno
from com.sun.star.beans import PropertyValue

# com.sun.star.document.MacroExecMode.ALWAYS_EXECUTE_NO_WARN: the workbook's own
# macros are what the console runs, so they must not be held back.
ALWAYS_EXECUTE_NO_WARN = 4


class AutomationError(Exception):
    pass


# Every office started and not yet ended, those still starting included, so
# that the bridge never leaves one behind.
OFFICES = []


def log(text):
    sys.stderr.write("%s\n" % text)
    sys.stderr.flush()


def prop(name, value):
    p = PropertyValue()
    p.Name = name
    p.Value = value
    return p


class Application:
    """One headless office instance standing for "Excel.Application"."""

    def __init__(self, profile, pipe, timeout):
        soffice = shutil.which("soffice")
        if not soffice:
            raise AutomationError("soffice not found")
        self.profile = profile
        self.paths = []
        write_owner(profile)
        args = [soffice, "--headless", "--invisible", "--norestore", "--nologo",
                "--nodefault", "--nolockcheck",
                "--accept=pipe,name=%s;urp;StarOffice.ComponentContext" % pipe,
                "-env:UserInstallation=%s" % profile]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        OFFICES.append(self)
        self.visible = False
        self.documents = []
        self.desktop = None
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        url = "uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe
        deadline = time.monotonic() + timeout
        last = None
        while True:
            if self.process.poll() is not None:
                raise AutomationError("office ended during start-up (exit %d)"
                                      % self.process.returncode)
            try:
                ctx = resolver.resolve(url)
                break
            except Exception as e:  # NoConnectException until it listens
                last = e
            if time.monotonic() > deadline:
                self.kill()
                raise AutomationError("office did not answer within %d s (%s)"
                                      % (timeout, last))
            time.sleep(0.25)
        self.desktop = ctx.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", ctx)

    def open(self, path):
        path = os.path.abspath(path)
        if not os.path.isfile(path):
            raise AutomationError("no such workbook: %s" % path)
        holder = clear_stale_lock(path)
        url = uno.systemPathToFileUrl(path)
        doc = self.desktop.loadComponentFromURL(
            url, "_blank", 0,
            (prop("Hidden", True),
             prop("MacroExecutionMode", ALWAYS_EXECUTE_NO_WARN),
             prop("UpdateDocMode", 0)))
        if doc is not None and holder and doc.isReadonly():
            # The office opens a workbook that another user holds read-only:
            # nothing done to it could be saved.
            doc.close(True)
            doc = None
        if doc is None:
            if holder:
                raise AutomationError("in use by %s: %s" % (holder, path))
            raise AutomationError("cannot load (unreadable or in use): %s" % path)
        self.paths.append(path)
        if not hasattr(doc, "Sheets"):
            doc.close(True)
            raise AutomationError("not a spreadsheet: %s" % path)
        self.documents.append(doc)
        return doc

    def run(self, reference):
        # "book.xls!Macro": the macro is looked up in the workbooks this
        # application has open, the named one first; Module.Macro and
        # Library.Module.Macro narrow the search.
        book, _, macro = reference.rpartition("!")
        parts = macro.split(".")
        if not macro or len(parts) > 3 or not all(parts):
            raise AutomationError("bad macro reference: %s" % reference)
        docs = list(reversed(self.documents))
        docs.sort(key=lambda d: 0 if title_of(d) == book else 1)
        for doc in docs:
            found = find_macro(doc, parts)
            if found:
                return run_macro(doc, found)
        raise AutomationError("macro not found: %s" % reference)

    def quit(self):
        for doc in self.documents:
            try:
                doc.close(True)
            except Exception as e:
                log("closing a workbook: %s" % e)
        self.documents = []
        try:
            self.desktop.terminate()
        except Exception:
            pass  # the connection drops while the office ends
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.kill()

    def kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except OSError:
                pass
            self.process.wait()
            # The killed office cannot remove its own locks.
            for path in self.paths:
                remove_own_lock(path, self.profile)
        if self in OFFICES:
            OFFICES.remove(self)


# The office's lock beside a workbook (".~lock.NAME#") is one line of fields
# ending in ";": office user name, login name, host, time, and the URL of the
# profile the office runs with. Each office this bridge starts gets a private
# profile folder "<tmp>/orvalla-office-XXXXXX/profile"; beside the profile an
# owner file names the console that made the folder.
OUR_FOLDER = re.compile(r"orvalla-office-[A-Za-z0-9]{6}")
OWNER_FILE = "owner.json"


def lock_path(path):
    folder, name = os.path.split(path)
    return os.path.join(folder, ".~lock.%s#" % name)


def read_lock(path):
    """The lock's (user, host, time, profile URL), or None without a lock."""
    try:
        with open(lock_path(path), encoding="utf-8", errors="replace") as f:
            fields = f.read().strip().rstrip(";").split(",")
    except OSError:
        return None
    # The office user name comes first and may hold commas: count from the end.
    fields = ([""] * 4 + fields)[-4:]
    return tuple(field.strip() for field in fields)


def our_folder(profile_url):
    """The private folder holding profile_url, or None when it is not one of ours."""
    if not profile_url.startswith("file://"):
        return None
    try:
        profile = uno.fileUrlToSystemPath(profile_url).rstrip("/")
    except Exception:
        return None
    folder, leaf = os.path.split(profile)
    if leaf != "profile" or not OUR_FOLDER.fullmatch(os.path.basename(folder)):
        return None
    return folder


def process_start(pid):
    """The start time of a live process (to tell it from a later one with the same
    number), or None when it is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            text = f.read()
    except (OSError, ValueError):
        return None
    fields = text[text.rindex(b")") + 2:].split()
    if len(fields) < 20 or fields[0] == b"Z":
        return None
    return int(fields[19])


def offices_using(folder):
    """Live processes started with the profile in folder: the office holding
    whatever that profile locked."""
    profile = os.path.join(folder, "profile")
    needles = [os.fsencode(profile), os.fsencode(uno.systemPathToFileUrl(profile))]
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if any(word.endswith(needle) for word in words for needle in needles) \
                and process_start(int(entry)) is not None:
            found.append(int(entry))
    return found


def write_owner(profile_url):
    # The console is this bridge's parent; its start time tells it from a later
    # process that reuses its number.
    folder = our_folder(profile_url)
    if folder is None:
        return
    console = os.getppid()
    owner = {"console": console, "start": process_start(console)}
    try:
        with open(os.path.join(folder, OWNER_FILE), "w") as f:
            json.dump(owner, f)
    except OSError as e:
        log("cannot write the owner file in %s: %s" % (folder, e))


def console_alive(folder):
    """Whether the console that made folder still runs; True when unknown."""
    try:
        with open(os.path.join(folder, OWNER_FILE)) as f:
            owner = json.load(f)
        pid, start = int(owner["console"]), owner["start"]
    except (OSError, ValueError, KeyError, TypeError):
        return True
    return start is None or process_start(pid) == start


def same_host(host):
    mine = socket.gethostname().lower()
    theirs = host.lower()
    if theirs == mine:
        return True
    # One side may give the full name and the other the short one.
    return ("." in theirs) != ("." in mine) and theirs.split(".")[0] == mine.split(".")[0]


def clear_stale_lock(path):
    """Removes the lock beside path when the office that made it is gone.

    Answers None when the workbook is free, else who holds it. Only a lock of
    this user on this host whose profile is one of our private folders can be
    judged: it is stale when no process runs that profile. An office whose
    console is gone (killed while the office lived) is ended first: nothing can
    save its changes any more. Every other lock is left alone."""
    fields = read_lock(path)
    if fields is None:
        return None
    user, host, stamp, profile = fields
    holder = "%s on %s since %s" % (user or "?", host or "?", stamp or "?")
    folder = our_folder(profile)
    if folder is None or not same_host(host) or user != pwd.getpwuid(os.getuid()).pw_name:
        return holder
    offices = offices_using(folder)
    owner_alive = console_alive(folder)
    if offices and owner_alive:
        return holder + " (another console's office)"
    if offices:
        log("ending office %s left by a console that is gone (profile %s)"
            % (" ".join(map(str, offices)), profile))
        for pid in offices:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        deadline = time.monotonic() + 10
        while offices_using(folder):
            if time.monotonic() > deadline:
                return holder + " (an office that does not end)"
            time.sleep(0.1)
    log("removing stale lock %s (the office of profile %s is gone)" % (lock_path(path), profile))
    try:
        os.remove(lock_path(path))
    except OSError as e:
        log("cannot remove %s: %s" % (lock_path(path), e))
    if not owner_alive:
        shutil.rmtree(folder, ignore_errors=True)
    return None


def remove_own_lock(path, profile_url):
    # Only while the lock still names this office: another may hold it by now.
    fields = read_lock(path)
    if fields is not None and fields[3] == profile_url:
        try:
            os.remove(lock_path(path))
        except OSError:
            pass


# Basic reports a macro's run-time error to no one when the office runs
# headless: the call just returns. A function put beside the macro for the
# length of the call catches the error and answers it. Its result is "started"
# if the macro ended the program itself (End), and empty if it never ran (a
# library that does not compile).
WRAPPER = """Function %(name)s() As String
    %(name)s = "started"
    On Error GoTo Failed
    %(module)s.%(macro)s
    %(name)s = "ok"
    Exit Function
Failed:
    %(name)s = "error" & Chr(9) & Err & Chr(9) & Error$
End Function
"""


def run_macro(doc, found):
    library, module, macro = found
    libraries = doc.BasicLibraries
    modules = libraries.getByName(library)
    provider = doc.getScriptProvider()
    uri = "vnd.sun.star.script:%s.%s.%s?language=Basic&location=document"
    try:
        if libraries.isLibraryReadOnly(library):
            raise AutomationError("read-only library")
        name = "OrvallaRun"
        while modules.hasByName(name):
            name += "X"
        modules.insertByName(name, WRAPPER % {"name": name, "module": module, "macro": macro})
    except Exception as e:
        # The macro still runs; only an error inside it goes unseen.
        log("macro %s.%s.%s runs without error report (%s)" % (library, module, macro, e))
        return plain(provider.getScript(uri % found).invoke((), (), ())[0])
    try:
        answer = provider.getScript(uri % (library, name, name)).invoke((), (), ())[0]
    finally:
        modules.removeByName(name)
    if answer in ("ok", "started"):
        return None
    if isinstance(answer, str) and answer.startswith("error\t"):
        _, number, text = (answer.split("\t", 2) + [""])[:3]
        raise AutomationError("Basic error %s: %s" % (number, text.strip()))
    raise AutomationError("the macro did not run (does its Basic library compile?)")


def title_of(doc):
    try:
        return doc.Title
    except Exception:
        return ""


def find_macro(doc, parts):
    name = parts[-1]
    want_module = parts[-2] if len(parts) >= 2 else None
    want_library = parts[-3] if len(parts) == 3 else None
    pattern = re.compile(r"^\s*(?:(?:public|private|static)\s+)*(?:sub|function)\s+"
                         + re.escape(name) + r"\b", re.IGNORECASE | re.MULTILINE)
    libraries = doc.BasicLibraries
    for library in libraries.ElementNames:
        if want_library and library.lower() != want_library.lower():
            continue
        libraries.loadLibrary(library)
        modules = libraries.getByName(library)
        for module in modules.ElementNames:
            if want_module and module.lower() != want_module.lower():
                continue
            if pattern.search(modules.getByName(module)):
                return (library, module, name)
    return None


def plain(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


class Bridge:
    def __init__(self):
        self.objects = {}
        self.next_handle = 1

    def add(self, kind, target, app):
        handle = self.next_handle
        self.next_handle += 1
        self.objects[handle] = (kind, target, app)
        return handle

    def lookup(self, request):
        handle = request.get("obj")
        if handle not in self.objects:
            raise AutomationError("unknown object %s" % handle)
        return self.objects[handle]

    def handle(self, request):
        op = request.get("op")
        if op == "create":
            if request.get("progid") != "Excel.Application":
                raise AutomationError("unknown program identifier: %s" % request.get("progid"))
            app = Application(request["profile"], request["pipe"], request.get("timeout", 60))
            return {"object": self.add("application", app, app), "pid": app.process.pid}
        if op == "release":
            kind, target, app = self.lookup(request)
            del self.objects[request["obj"]]
            if kind == "application":
                app.kill()
            return {}
        kind, target, app = self.lookup(request)
        name = request.get("name", "")
        args = request.get("args", [])
        try:
            if op == "get":
                return self.get(kind, target, app, name, args)
            if op == "set":
                return self.set(kind, target, app, name, request.get("value"))
            if op == "call":
                return self.call(kind, target, app, name, args)
        except AutomationError:
            raise
        except Exception as e:
            if app.process.poll() is not None:
                raise AutomationError("office is not running (%s)" % type(e).__name__)
            raise AutomationError("%s: %s" % (type(e).__name__, getattr(e, "Message", e)))
        raise AutomationError("unknown operation: %s" % op)

    def get(self, kind, target, app, name, args):
        key = (kind, name.lower())
        if key == ("application", "workbooks"):
            return {"object": self.add("workbooks", None, app)}
        if key == ("application", "visible"):
            return {"value": app.visible}
        if key == ("workbooks", "count"):
            return {"value": len(app.documents)}
        if key == ("workbook", "worksheets") and len(args) == 1:
            sheets = target.Sheets
            if isinstance(args[0], str):
                if not sheets.hasByName(args[0]):
                    raise AutomationError("no worksheet %s" % args[0])
                sheet = sheets.getByName(args[0])
            else:
                index = int(args[0]) - 1
                if index < 0 or index >= sheets.Count:
                    raise AutomationError("no worksheet %s" % args[0])
                sheet = sheets.getByIndex(index)
            return {"object": self.add("worksheet", sheet, app)}
        if key == ("workbook", "name"):
            return {"value": title_of(target)}
        if key == ("worksheet", "range") and len(args) == 1:
            cells = target.getCellRangeByName(str(args[0]))
            return {"object": self.add("range", cells, app)}
        if key == ("worksheet", "name"):
            return {"value": target.Name}
        if key == ("range", "value"):
            cell = target.getCellByPosition(0, 0)
            if cell.Type.value == "EMPTY":
                return {"value": None}
            if cell.Type.value == "VALUE":
                return {"value": cell.Value}
            return {"value": cell.String}
        raise AutomationError("no property %s on %s" % (name, kind))

    def set(self, kind, target, app, name, value):
        key = (kind, name.lower())
        if key == ("application", "visible"):
            app.visible = bool(value)  # a headless office has nothing to show
            return {}
        if key == ("range", "value"):
            columns = target.Columns.Count
            rows = target.Rows.Count
            for row in range(rows):
                for column in range(columns):
                    cell = target.getCellByPosition(column, row)
                    if value is None:
                        cell.String = ""
                    elif isinstance(value, bool):
                        cell.Value = 1 if value else 0
                    elif isinstance(value, (int, float)):
                        cell.Value = value
                    else:
                        cell.String = str(value)
            return {}
        raise AutomationError("cannot set %s on %s" % (name, kind))

    def call(self, kind, target, app, name, args):
        key = (kind, name.lower())
        if key == ("workbooks", "open") and len(args) == 1:
            return {"object": self.add("workbook", app.open(str(args[0])), app)}
        if key == ("workbook", "save") and not args:
            target.store()
            return {}
        if key == ("workbook", "close"):
            target.close(True)
            if target in app.documents:
                app.documents.remove(target)
            return {}
        if key == ("application", "run") and len(args) >= 1:
            return {"value": app.run(str(args[0]))}
        if key == ("application", "quit") and not args:
            app.quit()
            return {}
        raise AutomationError("no method %s on %s" % (name, kind))

    def shutdown(self):
        for app in list(OFFICES):
            app.kill()
            # The console may be gone (killed) and leave the folder behind.
            folder = our_folder(app.profile)
            if folder:
                shutil.rmtree(folder, ignore_errors=True)


def main():
    # The console's way to give up a call: end everything and leave.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(1))
    bridge = Bridge()
    out = sys.stdout
    try:
        for line in sys.stdin:
            line = line.strip()
            if not line:
                continue
            answer = {"id": None}
            try:
                request = json.loads(line)
                answer["id"] = request.get("id")
                answer.update(bridge.handle(request))
                answer["ok"] = True
            except AutomationError as e:
                answer["ok"] = False
                answer["error"] = str(e)
            except Exception as e:
                answer["ok"] = False
                answer["error"] = "%s: %s" % (type(e).__name__, getattr(e, "Message", e))
            out.write(json.dumps(answer) + "\n")
            out.flush()
    finally:
        bridge.shutdown()


if __name__ == "__main__":
    main()
