"""A certificate authority of one's own for HTTPS on 127.0.0.1, for the tests and the bench: made
with openssl, trusted by a build folder's Wine prefix only (the host's store is never touched; under
new WoW64, by the throwaway chroot's store too).

make_authority(folder, name) -> (server certificate, its key); server_certificate(folder, name,
cert_name, ...) -> another server certificate from that authority, for other host names or other
dates; trust_authority(build, add_root_cert, folder, name, kind) puts the authority into the ROOT
store of the build folder's prefix of that kind with the helper add_root_cert.exe.
"""

import datetime
import os
import subprocess

SUPPORT = os.path.dirname(os.path.abspath(__file__))
LIB_SH = ["bash", os.path.join(SUPPORT, "lib.sh")]

# Wine matches the host name against DNS entries only; the IP entry is what Windows uses.
LOOPBACK_NAMES = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1"

# For openssl ca, the one openssl command that sets both ends of a certificate's validity. Its
# records of what it signed lie in NAME-ca/ beside the authority.
CA_CONFIG = """[ca]
default_ca = records
[records]
database = {name}-ca/index.txt
new_certs_dir = {name}-ca
serial = {name}-ca/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[server]
subjectAltName = {names}
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
"""


def make_authority(folder, name):
    """A certificate authority name.pem, valid from a day ago (so that certificates from an earlier
    time lie within it), and a server certificate it signed for 127.0.0.1: (certificate, key)."""
    _sign(folder, name, name, "authority", (-1, 3), "-selfsign")
    return server_certificate(folder, name, name + "-server")


def server_certificate(folder, name, cert_name, names=LOOPBACK_NAMES, valid_days=(0, 2)):
    """A server certificate cert_name.pem from the authority name of folder, for the
    subjectAltName entries names, valid from valid_days[0] to valid_days[1] days from now:
    (certificate file, key file)."""
    _sign(folder, name, cert_name, "server", valid_days, "-cert", name + ".pem", names=names)
    return os.path.join(folder, cert_name + ".pem"), os.path.join(folder, cert_name + ".key")


def _sign(folder, name, cert_name, kind, valid_days, *args, names=LOOPBACK_NAMES):
    """cert_name.pem and its new key cert_name.key, signed with name.key as a certificate of kind
    (a section of CA_CONFIG)."""
    def openssl(*command):
        subprocess.run(["openssl", *command], cwd=folder, check=True, timeout=60, capture_output=True)
    os.makedirs(os.path.join(folder, name + "-ca"), exist_ok=True)
    config = os.path.join(name + "-ca", cert_name + ".cnf")
    with open(os.path.join(folder, config), "w") as f:
        f.write(CA_CONFIG.format(name=name, names=names))
    if not os.path.exists(os.path.join(folder, name + "-ca", "serial")):
        open(os.path.join(folder, name + "-ca", "index.txt"), "w").close()
        with open(os.path.join(folder, name + "-ca", "serial"), "w") as f:
            f.write("%016X\n" % int.from_bytes(os.urandom(7), "big"))
    common_name = names.split(",")[0].split(":", 1)[1] if kind == "server" else "Livery pack test authority " + name
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + common_name,
            "-keyout", cert_name + ".key", "-out", os.path.join(name + "-ca", cert_name + ".csr"))
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    start, end = ((now + datetime.timedelta(days=d)).strftime("%Y%m%d%H%M%SZ") for d in valid_days)
    openssl("ca", "-batch", "-notext", "-config", config, "-extensions", kind, "-keyfile", name + ".key",
            "-startdate", start, "-enddate", end, "-in", os.path.join(name + "-ca", cert_name + ".csr"),
            "-out", cert_name + ".pem", *args)


def trust_authority(build, add_root_cert, folder, name, kind=None):
    """Makes the Wine prefix of the build folder trust the authority name of folder; add_root_cert
    is the helper's path, kind the prefix's (support/lib.sh; by default WINE_KIND's). Later
    processes in that prefix trust it at once."""
    kind = kind or os.environ.get("WINE_KIND", "win32")
    windows = subprocess.run(LIB_SH + ["windows_path", os.path.join(folder, name + ".pem")], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
    subprocess.run(LIB_SH + ["wine_run", build, add_root_cert, windows], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True, timeout=60, env=dict(os.environ, WINE_KIND=kind))
    # Newer Wines build their trusted roots from the Unix side's store instead: the new WoW64
    # chroot's own, which nothing but these tests uses.
    if kind == "newwow64":
        subprocess.run(LIB_SH + ["trust_in_new_wow64", os.path.join(folder, name + ".pem")], check=True, timeout=60)
