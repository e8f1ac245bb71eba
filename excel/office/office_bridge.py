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
import re
import shutil
import signal
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
        args = [soffice, "--headless", "--invisible", "--norestore", "--nologo",
                "--nodefault", "--nolockcheck",
                "--accept=pipe,name=%s;urp;StarOffice.ComponentContext" % pipe,
                "-env:UserInstallation=%s" % profile]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL,
                                        start_new_session=True)
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
        remove_stale_lock(path)
        url = uno.systemPathToFileUrl(path)
        doc = self.desktop.loadComponentFromURL(
            url, "_blank", 0,
            (prop("Hidden", True),
             prop("MacroExecutionMode", ALWAYS_EXECUTE_NO_WARN),
             prop("UpdateDocMode", 0)))
        if doc is None:
            raise AutomationError("cannot load (unreadable or in use): %s" % path)
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
                uri = ("vnd.sun.star.script:%s.%s.%s?language=Basic&location=document"
                       % found)
                script = doc.getScriptProvider().getScript(uri)
                result = script.invoke((), (), ())
                return plain(result[0])
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


def remove_stale_lock(path):
    # An office that was killed leaves its lock file ("~lock.NAME#") behind,
    # and the next load then refuses the workbook. A lock whose profile folder
    # is gone (our private profiles are removed with their office) is stale;
    # any other lock belongs to a live office and is left alone.
    folder, name = os.path.split(path)
    lock = os.path.join(folder, ".~lock.%s#" % name)
    try:
        with open(lock, encoding="utf-8", errors="replace") as f:
            fields = f.read().strip().rstrip(";").split(",")
    except OSError:
        return
    profile = fields[-1] if fields else ""
    if not profile.startswith("file://"):
        return
    if os.path.exists(uno.fileUrlToSystemPath(profile)):
        return
    log("removing stale lock %s (profile %s is gone)" % (lock, profile))
    try:
        os.remove(lock)
    except OSError as e:
        log("cannot remove %s: %s" % (lock, e))


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
        self.applications = []

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
            self.applications.append(app)
            return {"object": self.add("application", app, app), "pid": app.process.pid}
        if op == "release":
            kind, target, app = self.lookup(request)
            del self.objects[request["obj"]]
            if kind == "application":
                app.kill()
                self.applications.remove(app)
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
        for app in self.applications:
            app.kill()
        self.applications = []


def main():
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
