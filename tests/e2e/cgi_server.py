"""A real web server for the example CGI programs on 127.0.0.1 with a free port, its
configuration, pid, log and temporary files in a folder of its own.

server "lighttpd" (the default): mod_cgi running the programs in a document root of their own,
and, when asked, mod_fastcgi running programs as FastCGI workers that lighttpd spawns itself
(socket in the server's temporary folder). In mode "fastcgi" every example program (*.cgi) is
served by mod_fastcgi instead: lighttpd spawns one worker per program, which answers every
request to it.

server "nginx": mode "cgi" runs the programs through fcgiwrap; mode "fastcgi" runs each
program as workers started by spawn-fcgi, with nginx's request buffering on or off and, with
keep, kept connections (fastcgi_keep_conn and an upstream keepalive pool).

server "apache": mode "cgi" runs the programs under mod_cgid; mode "fastcgi" runs them as
workers started by spawn-fcgi behind mod_proxy_fcgi, with keep its connection reuse
(enablereuse=on).

Kept connections hold a worker each for as long as the server keeps them, so those forms start
more than one worker per program (procs)."""
import os
import shutil
import signal
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


SERVERS = ("lighttpd", "nginx", "apache")
# The most connections a server keeps to one program's workers: nginx's keepalive pool (one
# nginx process) and mod_proxy_fcgi's max (one httpd process). A worker serves one connection
# at a time until the server closes it, so nginx needs one worker more than its pool, Apache as
# many as its max.
KEPT_CONNECTIONS = 2


def server_forms():
    """Every server form the tests run the examples in: (server, mode, options, label)."""
    return [("lighttpd", "cgi", {}, "lighttpd mod_cgi"),
            ("lighttpd", "fastcgi", {}, "lighttpd mod_fastcgi"),
            ("nginx", "cgi", {}, "nginx fcgiwrap"),
            ("nginx", "fastcgi", {}, "nginx FastCGI"),
            ("nginx", "fastcgi", {"buffering": False}, "nginx FastCGI unbuffered"),
            ("nginx", "fastcgi", {"keep": True}, "nginx FastCGI kept connections"),
            ("apache", "cgi", {}, "Apache mod_cgid"),
            ("apache", "fastcgi", {}, "Apache mod_proxy_fcgi"),
            ("apache", "fastcgi", {"keep": True}, "Apache mod_proxy_fcgi reuse")]


# The programs each server form needs beside the server itself.
TOOLS = {"lighttpd": ["lighttpd"], "nginx": ["nginx", "spawn-fcgi"],
         "apache": ["apache2", "spawn-fcgi"]}
# A test whose server is not installed ends with this status, which CTest shows as skipped.
SKIPPED = 77


def add_server_arguments(parser):
    """The options that choose the server form of a test (see server_forms)."""
    parser.add_argument("--mode", choices=("cgi", "fastcgi"), default="cgi")
    parser.add_argument("--server", choices=SERVERS, default="lighttpd")
    parser.add_argument("--keep", action="store_true", help="kept FastCGI connections")
    parser.add_argument("--unbuffered", action="store_true",
                        help="nginx streams the request body to the worker")


def server_form(args):
    """CgiServer's arguments for the options of add_server_arguments."""
    return {"mode": args.mode, "server": args.server, "keep": args.keep,
            "buffering": not args.unbuffered}


def missing_tools(server, mode):
    tools = TOOLS[server] + (["fcgiwrap"] if server == "nginx" and mode == "cgi" else [])
    return [t for t in tools if not shutil.which(t) and not os.path.exists("/usr/sbin/" + t)]


class CgiServer:
    def __init__(self, cgi_dir, session_timeout=None, extra_files=None, php_cgi=None,
                 fastcgi=None, probe="/form.cgi", mode="cgi", server="lighttpd", keep=False,
                 buffering=True, extra_programs=None, procs=None,
                 session_repository=None):
        """fastcgi maps a URL path ("/app.fcgi") or an extension (".php") to fastcgi_app();
        mode "fastcgi" adds every *.cgi of cgi_dir, at its own path, with one worker (more
        with kept connections, or procs behind nginx and Apache); extra_programs maps more
        names ("probe.cgi") to programs; session_repository: where the programs keep sessions
        (a folder of the server's own by default, or a Redis address)."""
        if mode not in ("cgi", "fastcgi"):
            raise ValueError(f"unknown mode {mode}")
        if server not in SERVERS:
            raise ValueError(f"unknown server {server}")
        if server != "lighttpd" and fastcgi:
            raise ValueError("fastcgi applications run behind lighttpd only")
        self.mode, self.server, self.keep, self.buffering = mode, server, keep, buffering
        self.procs = 1
        if keep and mode == "fastcgi":
            self.procs = KEPT_CONNECTIONS + 1 if server == "nginx" else KEPT_CONNECTIONS
        if procs and server != "lighttpd":
            self.procs = max(self.procs, procs)
        self.spawned = []
        self.work = tempfile.mkdtemp(prefix="nuvex-cgi-")
        self.root = os.path.join(self.work, "www")
        self.sessions = os.path.join(self.work, "sessions")
        self.uploads = os.path.join(self.work, "uploads")
        self.counter = os.path.join(self.work, "hits.count")
        os.makedirs(self.sessions)
        os.makedirs(self.uploads)
        shutil.copytree(cgi_dir, self.root)
        for name, program in (extra_programs or {}).items():
            shutil.copy(program, os.path.join(self.root, name))
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
        self.probe = probe
        if server != "lighttpd":
            self._start_other(env)
            return
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
        self._wait_until_up()

    def programs(self):
        return sorted(n for n in os.listdir(self.root) if n.endswith(".cgi"))

    def _start_other(self, env):
        # The servers' own workers run as a user without rights here (Apache refuses root):
        # they must reach the folder, and CGI programs must write their data.
        for folder in (self.work, self.sessions, self.uploads):
            os.chmod(folder, 0o777)
        for name in ("tmp", "logs"):
            os.makedirs(os.path.join(self.work, name), mode=0o777)
        if self.mode == "fastcgi":
            for name in self.programs():
                self._spawn_worker(name, os.path.join(self.root, name), env, self.procs)
        elif self.server == "nginx":
            self._spawn_worker("fcgiwrap", shutil.which("fcgiwrap") or "/usr/sbin/fcgiwrap",
                               {}, 2)
        if self.server == "nginx":
            command = self._nginx_config(env)
        else:
            command = self._apache_config(env)
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_until_up()

    def _socket(self, name):
        return os.path.join(self.work, name.replace(".", "-") + ".sock")

    def _spawn_worker(self, name, program, env, procs):
        """procs worker processes of the program on one socket, started by spawn-fcgi, which
        leaves them running and ends; their ids are in the pid file."""
        pid_file = os.path.join(self.work, name + ".pid")
        worker_env = {k: v for k, v in os.environ.items()
                      if k in ("PATH", "HOME", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        worker_env.update(env)
        # In the document root, as lighttpd starts them: the examples read their templates
        # from there.
        subprocess.run(["spawn-fcgi", "-s", self._socket(name), "-M", "0666", "-F", str(procs),
                        "-d", self.root, "-P", pid_file, "--", program], env=worker_env,
                       check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        with open(pid_file) as f:
            self.spawned += [int(p) for p in f.read().split()]

    def _nginx_config(self, env):
        w = self.work
        params = "".join(f"        fastcgi_param {k} {v};\n" for k, v in env.items())
        upstreams, locations = "", ""
        if self.mode == "cgi":
            locations = f'''    location ~ \\.cgi$ {{
        include /etc/nginx/fastcgi_params;
        fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
{params}        fastcgi_pass unix:{self._socket("fcgiwrap")};
    }}
'''
        for name in self.programs() if self.mode == "fastcgi" else []:
            upstream = name.replace(".", "_")
            upstreams += f"""    upstream {upstream} {{
        server unix:{self._socket(name)};
{f"        keepalive {KEPT_CONNECTIONS};" if self.keep else ""}
    }}
"""
            locations += f"""    location = /{name} {{
        include /etc/nginx/fastcgi_params;
{params}        fastcgi_request_buffering {"on" if self.buffering else "off"};
        fastcgi_keep_conn {"on" if self.keep else "off"};
        fastcgi_pass {upstream};
    }}
"""
        self.config = os.path.join(w, "nginx.conf")
        with open(self.config, "w") as f:
            f.write(f"""daemon off;
user root;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/error.log;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {w}/tmp/body;
    fastcgi_temp_path {w}/tmp/fastcgi;
    proxy_temp_path {w}/tmp/proxy;
    uwsgi_temp_path {w}/tmp/uwsgi;
    scgi_temp_path {w}/tmp/scgi;
    client_max_body_size 256m;
    types {{ text/html html; }}
{upstreams}    server {{
        listen 127.0.0.1:{self.port};
        root {self.root};
        index form.cgi;
{locations}    }}
}}
""")
        return ["nginx", "-p", w, "-e", f"{w}/error.log", "-c", self.config]

    def _apache_config(self, env):
        w = self.work
        modules = "/usr/lib/apache2/modules"
        set_env = "".join(f'SetEnv {k} "{v}"\n' for k, v in env.items())
        if self.mode == "cgi":
            serve = f'''LoadModule cgid_module {modules}/mod_cgid.so
ScriptSock {w}/cgid.sock
<Directory "{self.root}">
    Options +ExecCGI
    <FilesMatch "\\.cgi$">
        SetHandler cgi-script
    </FilesMatch>
</Directory>
'''
        else:
            reuse = f"enablereuse=on max={KEPT_CONNECTIONS}" if self.keep else "enablereuse=off"
            serve = f'''LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_fcgi_module {modules}/mod_proxy_fcgi.so
''' + "".join(f'ProxyPass "/{n}" "unix:{self._socket(n)}|fcgi://{n.replace(".", "-")}/" {reuse}\n'
                 for n in self.programs())
        self.config = os.path.join(w, "httpd.conf")
        with open(self.config, "w") as f:
            f.write(f'''ServerRoot "{w}"
ServerName 127.0.0.1
Listen 127.0.0.1:{self.port}
PidFile {w}/httpd.pid
ErrorLog {w}/error.log
DefaultRuntimeDir {w}/tmp
Mutex file:{w}/tmp default
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule env_module {modules}/mod_env.so
User nobody
Group nogroup
StartServers 1
ServerLimit 1
ThreadsPerChild 16
MaxRequestWorkers 16
LimitRequestBody 0
DocumentRoot "{self.root}"
<Directory "/">
    Require all granted
</Directory>
{set_env}{serve}''')
        return ["apache2", "-f", self.config, "-DFOREGROUND"]

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
        """The processes of the FastCGI workers for the program name ("form.cgi")."""
        out = subprocess.run(["pgrep", "-x", "-f", os.path.join(self.root, name)],
                             capture_output=True, text=True).stdout
        return sorted(int(p) for p in out.split())

    def _wait_until_up(self):
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.process.poll() is not None:
                error = self.process.stderr.read().decode() + self._error_log()
                self.stop()
                raise RuntimeError(f"{self.server} ended: " + error)
            try:
                urllib.request.urlopen(self.url + self.probe, timeout=2).read()
                return
            except OSError:
                time.sleep(0.1)
        error = self._error_log()
        self.stop()
        raise RuntimeError(f"{self.server} did not answer" + error)

    def _error_log(self):
        try:
            with open(os.path.join(self.work, "error.log"), errors="replace") as f:
                return f"\n{self.server}'s error log:\n" + f.read()
        except OSError:
            return ""

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for pid in self.spawned:  # the workers spawn-fcgi started for this server
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
