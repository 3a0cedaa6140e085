"""A real web server for the example CGI programs: lighttpd on 127.0.0.1 with a free port,
mod_cgi running the programs in a document root of their own."""
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


class CgiServer:
    def __init__(self, cgi_dir, session_timeout=None, extra_files=None, php_cgi=None):
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
        assigns = '".cgi" => ""' + (f', ".php" => "{php_cgi}"' if php_cgi else "")
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        env = {"NUVEX_SESSION_DIR": self.sessions, "NUVEX_UPLOAD_DIR": self.uploads,
               "NUVEX_COUNTER_FILE": self.counter}
        if session_timeout:
            env["NUVEX_SESSION_TIMEOUT"] = str(session_timeout)
        env_lines = ", ".join(f'"{k}" => "{v}"' for k, v in env.items())
        self.config = os.path.join(self.work, "lighttpd.conf")
        with open(self.config, "w") as f:
            f.write(f'''server.document-root = "{self.root}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.modules = ("mod_cgi", "mod_setenv")
server.errorlog = "{self.work}/error.log"
server.max-request-size = 262144
server.stream-request-body = 0
cgi.assign = ({assigns})
setenv.add-environment = ({env_lines})
index-file.names = ("form.cgi")
mimetype.assign = (".html" => "text/html")
''')
        self.process = subprocess.Popen(["lighttpd", "-D", "-f", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_until_up()

    def _wait_until_up(self):
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("lighttpd ended: " + self.process.stderr.read().decode())
            try:
                urllib.request.urlopen(self.url + "/form.cgi", timeout=2).read()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("lighttpd did not answer")

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
