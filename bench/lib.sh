# Shared by the benchmark scripts: ports on loopback.

# A loopback port that nothing listens on right now.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Waits up to ten seconds for a listener on the loopback port.
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; return 1
}

# A Dovecot POP3 (or, with $2 = imap, IMAP) configuration of its own below the folder $1 (run,
# state, log, a passwd-file with the user "bench", password "secret", maildirs under home/) on
# a free loopback port. Sets DC (the folder) and DC_PORT; start it with:
# dovecot -F -c "$DC/dovecot.conf".
private_dovecot_config() {
  DC=$1
  local protocol=${2:-pop3}
  DC_PORT=$(free_port)
  mkdir -p "$DC/run" "$DC/state" "$DC/home"
  echo "bench:{PLAIN}secret::::::" > "$DC/passwd"
  cat > "$DC/dovecot.conf" <<CONF
protocols = $protocol
listen = 127.0.0.1
base_dir = $DC/run
state_dir = $DC/state
log_path = $DC/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN $DC/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$DC/home/%u
}
mail_location = maildir:~/Maildir
service $protocol-login {
  inet_listener $protocol {
    port = $DC_PORT
  }
}
CONF
}
