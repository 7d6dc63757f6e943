"""A certificate authority of one's own for HTTPS on 127.0.0.1, for the tests and the bench: made
with openssl, trusted by a build folder's Wine prefix only (the host's store is never touched; under
new WoW64, by the throwaway chroot's store too).

make_authority(folder, name) -> (server certificate, its key); trust_authority(build, folder, name)
puts the authority into the prefix's ROOT store with the helper add_root_cert.exe.
"""

import os
import subprocess

SUPPORT = os.path.dirname(os.path.abspath(__file__))
LIB_SH = ["bash", os.path.join(SUPPORT, "lib.sh")]


def make_authority(folder, name):
    """A certificate authority name.pem and a server certificate it signed for 127.0.0.1:
    (certificate file, key file)."""
    def request(*args):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", *args],
                       cwd=folder, check=True, timeout=60, capture_output=True)
    request("-subj", "/CN=Livery pack test authority " + name, "-keyout", name + ".key", "-out", name + ".pem",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    # Wine matches the host name against DNS entries only; the IP entry is what Windows uses.
    request("-subj", "/CN=127.0.0.1", "-CA", name + ".pem", "-CAkey", name + ".key",
            "-addext", "subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1",
            "-addext", "basicConstraints=CA:FALSE", "-addext", "extendedKeyUsage=serverAuth",
            "-keyout", name + "-server.key", "-out", name + "-server.pem")
    return os.path.join(folder, name + "-server.pem"), os.path.join(folder, name + "-server.key")


def trust_authority(build, add_root_cert, folder, name):
    """Makes the Wine prefix of the build folder trust the authority name of folder; add_root_cert
    is the helper's path. Later processes in that prefix trust it at once."""
    windows = subprocess.run(LIB_SH + ["windows_path", os.path.join(folder, name + ".pem")], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
    subprocess.run(LIB_SH + ["wine_run", build, add_root_cert, windows], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True, timeout=60)
    # Newer Wines build their trusted roots from the Unix side's store instead: the new WoW64
    # chroot's own, which nothing but these tests uses.
    if os.environ.get("WINE_KIND") == "newwow64":
        subprocess.run(LIB_SH + ["trust_in_new_wow64", os.path.join(folder, name + ".pem")], check=True, timeout=60)
