#!/usr/bin/env bash
# Starts a throw-away sshd on a high loopback port for a throw-away user whose login shell is
# /bin/sh (a heavy login shell would dominate every figure), with key authentication, and a
# multiplexed master connection. Prints the environment lines the control benchmark reads:
#   SSH_CONTROL=<socket> SSH_PORT=<port> SSH_USER=<user> SSH_DIR=<dir> SSHD_PID=<pid>
# Stop with: kill $SSHD_PID; ssh -S $SSH_CONTROL -O exit x; rm -rf $SSH_DIR
set -euo pipefail
user=lumora-bench
port=${1:-42222}
dir=$(mktemp -d)
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
# No password, but not locked: sshd refuses locked accounts even for key logins.
usermod -p '*' "$user"
home=$(getent passwd "$user" | cut -d: -f6)
ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
install -d -m 700 -o "$user" "$home/.ssh"
install -m 600 -o "$user" "$dir/client_key.pub" "$home/.ssh/authorized_keys"
mkdir -p /run/sshd
cat > "$dir/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthenticationMethods publickey
PasswordAuthentication no
UsePAM no
AllowUsers $user
CONFIG
/usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log"
for _ in $(seq 50); do [ -s "$dir/sshd.pid" ] && break; sleep 0.1; done
ssh -q -i "$dir/client_key" -p "$port" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
  -o ControlMaster=yes -o ControlPath="$dir/control" -o ControlPersist=yes -fN "$user@127.0.0.1"
echo "SSH_CONTROL=$dir/control SSH_PORT=$port SSH_USER=$user SSH_DIR=$dir SSHD_PID=$(cat "$dir/sshd.pid")"
