"""Certificates for the TLS tests, made with the openssl command in a test's own folder: a
private certificate authority, server certificates it signs, and self-signed ones. Nothing is
added to the system's trust store: a program is pointed at the private authority with
SSL_CERT_FILE (see trust())."""

import os
import subprocess


def _openssl(*args, cwd):
    proc = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise AssertionError(f"openssl {' '.join(args)} failed: {proc.stderr.strip()}")
    return proc.stdout


class TestCertificates:
    """A private authority in `folder`/certs; server() and self_signed() give (cert, key) paths."""

    def __init__(self, folder):
        self.dir = os.path.join(folder, "certs")
        os.makedirs(self.dir, exist_ok=True)
        self.ca = os.path.join(self.dir, "ca.pem")
        self.ca_key = os.path.join(self.dir, "ca.key")
        _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                 "-keyout", self.ca_key, "-out", self.ca, "-days", "2", "-subj", "/CN=Postvane Test Authority",
                 "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
                 cwd=self.dir)

    def server(self, name, *alt_names):
        """A server certificate signed by the authority, for the subject alternative names given
        (e.g. "IP:127.0.0.1", "DNS:relay.test")."""
        cert, key, csr = (os.path.join(self.dir, name + ext) for ext in (".pem", ".key", ".csr"))
        ext = os.path.join(self.dir, name + ".ext")
        with open(ext, "w") as f:
            f.write(f"subjectAltName={','.join(alt_names)}\nextendedKeyUsage=serverAuth\n"
                    "basicConstraints=CA:FALSE\n")
        _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
                 "-out", csr, "-subj", f"/CN={name}", cwd=self.dir)
        _openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.ca_key, "-CAcreateserial",
                 "-days", "2", "-out", cert, "-extfile", ext, cwd=self.dir)
        return cert, key

    def self_signed(self, name):
        """A certificate nobody vouches for, naming `name` only."""
        cert, key = (os.path.join(self.dir, name + ext) for ext in (".pem", ".key"))
        _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                 "-keyout", key, "-out", cert, "-days", "2", "-subj", f"/CN={name}",
                 "-addext", f"subjectAltName=DNS:{name}", cwd=self.dir)
        return cert, key

    @staticmethod
    def fingerprint(cert):
        """The SHA-256 fingerprint as openssl prints it: upper-case hex pairs with colons."""
        out = _openssl("x509", "-noout", "-fingerprint", "-sha256", "-in", cert, cwd=os.path.dirname(cert))
        return out.strip().split("=", 1)[1]

    def trust(self, env):
        """Points a program's environment at the private authority (and nothing else)."""
        env["SSL_CERT_FILE"] = self.ca
        env["SSL_CERT_DIR"] = self.dir
