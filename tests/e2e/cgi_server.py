"""A real web server for the example CGI programs: lighttpd on 127.0.0.1 with a free port,
mod_cgi running the programs in a document root of their own, and, when asked, mod_fastcgi
running programs as FastCGI workers that lighttpd spawns itself (socket in the server's
temporary folder). In mode "fastcgi" every example program (*.cgi) is served by mod_fastcgi
instead: lighttpd spawns one worker per program, which answers every request to it."""
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fastcgi_app(program, env=None, procs=1, check_local=False):
    """A FastCGI application for CgiServer(fastcgi={key: ...}): the worker program, extra
    environment of its process, the number of worker processes (1 keeps every request on the
    same worker) and whether the requested file must exist in the document root."""
    return {"program": program, "env": dict(env or {}), "procs": procs,
            "check_local": check_local}


class CgiServer:
    def __init__(self, cgi_dir, session_timeout=None, extra_files=None, php_cgi=None,
                 fastcgi=None, probe="/form.cgi", mode="cgi", session_repository=None):
        """fastcgi maps a URL path ("/app.fcgi") or an extension (".php") to fastcgi_app();
        mode "fastcgi" adds every *.cgi of cgi_dir, at its own path, with one worker.
        session_repository: where the programs keep sessions (a folder of the server's own
        by default, or a Redis address)."""
        if mode not in ("cgi", "fastcgi"):
            raise ValueError(f"unknown mode {mode}")
        self.mode = mode
        self.work = tempfile.mkdtemp(prefix="nuvex-cgi-")
        self.root = os.path.join(self.work, "www")
        self.sessions = os.path.join(self.work, "sessions")
        self.uploads = os.path.join(self.work, "uploads")
        self.counter = os.path.join(self.work, "hits.count")
        os.makedirs(self.sessions)
        os.makedirs(self.uploads)
        shutil.copytree(cgi_dir, self.root)
        for name, text in (extra_files or {}).items():
            with open(os.path.join(self.root, name), "w") as f:
                f.write(text)
        fastcgi = dict(fastcgi or {})
        if mode == "fastcgi":
            for name in sorted(os.listdir(self.root)):
                if name.endswith(".cgi"):
                    fastcgi["/" + name] = fastcgi_app(os.path.join(self.root, name))
        assigns = ", ".join(([] if mode == "fastcgi" else ['".cgi" => ""']) +
                            ([f'".php" => "{php_cgi}"'] if php_cgi else []))
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        env = {"NUVEX_SESSION_DIR": session_repository or self.sessions,
               "NUVEX_UPLOAD_DIR": self.uploads,
               "NUVEX_COUNTER_FILE": self.counter}
        if session_timeout:
            env["NUVEX_SESSION_TIMEOUT"] = str(session_timeout)
        env_lines = ", ".join(f'"{k}" => "{v}"' for k, v in env.items())
        modules = '"mod_cgi", "mod_setenv"'
        fastcgi_lines = ""
        if fastcgi:
            modules = '"mod_cgi", "mod_fastcgi", "mod_setenv"'
            fastcgi_lines = self._fastcgi_config(fastcgi, env)
        self.config = os.path.join(self.work, "lighttpd.conf")
        with open(self.config, "w") as f:
            f.write(f'''server.document-root = "{self.root}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.modules = ({modules})
server.errorlog = "{self.work}/error.log"
server.max-request-size = 262144
server.stream-request-body = 0
cgi.assign = ({assigns})
setenv.add-environment = ({env_lines})
index-file.names = ("form.cgi")
mimetype.assign = (".html" => "text/html")
''' + fastcgi_lines)
        self.process = subprocess.Popen(["lighttpd", "-D", "-f", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.probe = probe
        self._wait_until_up()

    def _fastcgi_config(self, apps, env):
        entries = []
        for number, (key, app) in enumerate(apps.items()):
            socket_path = os.path.join(self.work, f"fastcgi-{number}.sock")
            # The worker's process gets the same settings as the CGI programs' requests.
            procs_line = ("" if app["procs"] is None else
                          f'        "max-procs" => {app["procs"]},\n')
            bin_env = ", ".join(f'"{k}" => "{v}"' for k, v in {**env, **app["env"]}.items())
            entries.append(f'''"{key}" => ((
        "bin-path" => "{app['program']}",
        "socket" => "{socket_path}",
{procs_line}        "bin-environment" => ({bin_env}),
        "bin-copy-environment" => ("PATH", "HOME", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS"),
        "check-local" => "{'enable' if app['check_local'] else 'disable'}"
    ))''')
        return "fastcgi.server = (\n    " + ",\n    ".join(entries) + "\n)\n"

    def worker_pids(self, name):
        """The processes of the FastCGI worker for the program name ("form.cgi")."""
        out = subprocess.run(["pgrep", "-x", "-f", os.path.join(self.root, name)],
                             capture_output=True, text=True).stdout
        return sorted(int(p) for p in out.split())

    def _wait_until_up(self):
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("lighttpd ended: " + self.process.stderr.read().decode() +
                                   self._error_log())
            try:
                urllib.request.urlopen(self.url + self.probe, timeout=2).read()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("lighttpd did not answer")

    def _error_log(self):
        try:
            with open(os.path.join(self.work, "error.log"), errors="replace") as f:
                return "\nlighttpd's error log:\n" + f.read()
        except OSError:
            return ""

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
