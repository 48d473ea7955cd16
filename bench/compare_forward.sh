# shellcheck shell=bash
# The forward-tls work of bench/compare, which sources this file (its helpers and settings are
# that script's).
#
# forward-tls: outgoing mail through an access provider's smart host: 1,000 messages of 1 KB
# for one remote recipient, relayed to aiosmtpd (bench/smarthost_py.py, Debian's
# python3-aiosmtpd, with the certificate above, STARTTLS and a login required before MAIL,
# PLAIN and LOGIN offered inside TLS), in messages a second from the start of the relaying
# until the smart host has counted the 1,000th message (each one checked to have come over
# TLS after a login). The load is queued first and only the relaying is timed:
# Postfix: smtp-source (10 sessions) into an smtpd listener of its own that puts every
# message on hold; then `postsuper -H ALL` and `postqueue -f`. Its smtp client relays with
# `relayhost = [127.0.0.1]:PORT`, `smtp_tls_security_level = encrypt`,
# `smtp_sasl_auth_enable` (Cyrus SASL from libsasl2-modules), `smtp_sasl_password_maps`,
# `smtp_sasl_security_options = noanonymous`, `smtp_tls_CAfile` = the certificate, and
# Postfix's defaults otherwise: its parallel deliveries, no TLS session cache, and a new TLS
# connection per message (it keeps TLS connections only with `smtp_tls_connection_reuse`).
# Each round logs the smart host's processor time: it is one Python process, and its share of
# the handshakes shows in it.
# qvsmtp95: a second instance with a system root of its own (SMTP Flags USEMX, ESMTP and
# CLIENTEHLO; `ExchangeHost` 127.0.0.1:PORT, `ExchangeUser`, `ExchangePassword`,
# `TLSOutgoing` 2, `TLSVerify` 1 with the certificate as the forwarder's CA file through
# QV_FORWARD_CA_FILE, or 0 when the binary does not know that variable; `SMTPTimer` a day):
# smtp-source queues 999 messages (10 sessions), the service is started again with the
# IMMEDIATELY flag, and the 1,000th message, sent by one session, starts the forward run;
# the time runs from that session's start. A round that stalls (no 100 more messages
# within a minute) counts 0, and the line says how many arrived.
# --forward-plain runs the same work in clear, without the login, on both sides (qvsmtp95's
# `TLSOutgoing` 0): the cost of the load without TLS, or the plumbing on a build whose
# forwarder has no STARTTLS.
#
# The smart host writes a mark at every 100th message; its own clock stamps the last one, so the
# figure does not depend on how often this script looks.

# The smart host's process and login, and the second qvsmtp95.
smarthost_pid=
smarthost_marks=$work/smarthost/marks
smarthost_user=relay@isp.test
smarthost_password=bench-secret
forward_root=$work/qvf
forward_to=fwd@remote.test
forward_count=1000
# Debian's Python, which has python3-aiosmtpd (a python3 earlier on the PATH may not).
system_python=/usr/bin/python3

# The ports, and whether the forwarder can check the certificate.
forward_prepare() {
  smarthost_port=$(free_port)
  forward_peer_in=$(free_port)
  forward_ours_in=$(free_port)
  # The certificate is checked when the forwarder can be given it as its CA file.
  forward_verify=1
  if [ -z "$forward_plain" ] && ! grep -qa QV_FORWARD_CA_FILE "$bin/qvsmtp95"; then
    forward_verify=0
    log "forward-tls: qvsmtp95 takes no QV_FORWARD_CA_FILE; the forwarder runs with TLSVerify 0"
  fi
}

# The smart host, and the second qvsmtp95's settings.
forward_start() {
  start_smarthost
  forward_setup
}

# Whatever runs of this work may still run.
forward_stop() {
  stop_forwarder
  stop_smarthost
}

smarthost_version() {
  echo "aiosmtpd $("$system_python" -c 'import aiosmtpd; print(aiosmtpd.__version__)')"
}

# Postfix: the smart host as relayhost, and a listener whose messages are held until the
# timed release.
forward_postfix() {
  postconf -c "$postfix_dir" "relayhost = [127.0.0.1]:$smarthost_port" "default_transport = smtp"
  if [ -z "$forward_plain" ]; then
    echo "[127.0.0.1]:$smarthost_port $smarthost_user:$smarthost_password" \
      >"$postfix_dir/sasl_passwd"
    chgrp postfix "$postfix_dir/sasl_passwd"
    chmod 640 "$postfix_dir/sasl_passwd"
    postconf -c "$postfix_dir" "smtp_tls_security_level = encrypt" \
      "smtp_tls_CAfile = $tls_cert" "smtp_sasl_auth_enable = yes" \
      "smtp_sasl_password_maps = texthash:$postfix_dir/sasl_passwd" \
      "smtp_sasl_security_options = noanonymous"
  fi
  postconf -c "$postfix_dir" -M \
    "127.0.0.1:$forward_peer_in/inet=127.0.0.1:$forward_peer_in inet n - n - - smtpd"
  postconf -c "$postfix_dir" -P "127.0.0.1:$forward_peer_in/inet/syslog_name=postfix/hold" \
    "127.0.0.1:$forward_peer_in/inet/smtpd_client_restrictions=check_client_access,static:HOLD"
}

start_smarthost() {
  mkdir -p "$work/smarthost"
  : >"$smarthost_marks"
  local tls=(--cert "$tls_cert" --key "$tls_key" --user "$smarthost_user"
    --password "$smarthost_password")
  [ -z "$forward_plain" ] || tls=(--plain)
  setsid "$system_python" "$checkout/bench/smarthost_py.py" "$smarthost_port" \
    "$smarthost_marks" "$forward_count" "${tls[@]}" >"$work/smarthost/out" 2>&1 </dev/null &
  smarthost_pid=$!
  wait_port "$smarthost_port"
}

stop_smarthost() {
  [ -n "$smarthost_pid" ] || return 0
  stop_pid "$smarthost_pid"
  smarthost_pid=
}

# Ends a process we started: TERM, then KILL after 10 seconds.
stop_pid() {
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
}

# A new count at the smart host; returns once it has written its "0 0 time" line.
smarthost_reset() {
  local lines
  lines=$(wc -l <"$smarthost_marks")
  kill -USR1 "$smarthost_pid"
  for _ in $(seq 1 200); do
    [ "$(wc -l <"$smarthost_marks")" -gt "$lines" ] && return 0
    sleep 0.02
  done
  log "the smart host did not start a new count"
  return 1
}

# Processor seconds (user and system) a process has used so far.
cpu_seconds() {
  awk -v tck="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / tck }' \
    "/proc/$1/stat"
}

# Waits until the smart host has counted the load, and prints messages a second from `start`
# (seconds since the epoch) to its mark of the last message; 0 when the load stalls (no new
# mark for a minute). Logs the processor time the smart host used meanwhile (from `cpu`, its
# cpu_seconds at the start), which tells whether it bounds the figure: it is one Python
# process.
smarthost_wait() {
  local start=$1 cpu=$2 who=$3 last count refused at seen
  seen=$(now)
  for _ in $(seq 1 36000); do
    last=$(tail -n 1 "$smarthost_marks")
    read -r count refused at <<<"$last"
    if [ "$count" -ge "$forward_count" ]; then
      [ "$refused" -eq 0 ] || log "the smart host refused $refused messages (no TLS or login)"
      log "forward-tls, $who: $(awk -v a="$start" -v b="$at" 'BEGIN { printf "%.2f", b - a }') s," \
        "the smart host's processor $(awk -v a="$cpu" -v b="$(cpu_seconds "$smarthost_pid")" \
          'BEGIN { printf "%.2f", b - a }') s"
      awk -v n="$forward_count" -v a="$start" -v b="$at" 'BEGIN { printf "%.0f", n / (b - a) }'
      return 0
    fi
    if awk -v a="$at" -v b="$seen" 'BEGIN { exit !(a > b) }'; then seen=$at; fi
    if awk -v a="$seen" -v b="$(now)" 'BEGIN { exit !(b - a > 60) }'; then break; fi
    sleep 0.1
  done
  log "only $count of $forward_count messages arrived at the smart host ($refused refused)"
  echo 0
}

# smtp-source from the bench's sender to the remote recipient: count messages of 1 KB.
forward_load() {
  smtp-source -s "$2" -l 1024 -m "$3" -f "sender@$domain" -t "$forward_to" -M client.test \
    "127.0.0.1:$1" >/dev/null
}

forward_peer_run() {
  wait_port "$forward_peer_in"
  postsuper -c "$postfix_dir" -d ALL >/dev/null 2>&1 || true  # what an earlier round left
  forward_load "$forward_peer_in" 10 "$forward_count"
  wait_files "$postfix_dir/spool/hold" '*' "$forward_count" 120 || true
  smarthost_reset
  local start cpu
  cpu=$(cpu_seconds "$smarthost_pid")
  start=$(now)
  postsuper -c "$postfix_dir" -H ALL >/dev/null 2>&1
  postqueue -c "$postfix_dir" -f
  smarthost_wait "$start" "$cpu" Postfix
}

fwd_reg() { QUORVANE_SYSTEM=$forward_root/system reg "$@"; }

# The second qvsmtp95's settings; its SMTP Flags are set by each start.
forward_setup() {
  local root=$forward_root
  mkdir -p "$root/system" "$root"/{mail,temp,log,config}
  local control='System\CurrentControlSet\Services\QuorvaneControl\Parameters'
  local smtp='System\CurrentControlSet\Services\QuorvaneSmtp\Parameters'
  fwd_reg "$control" HostName REG_SZ "mx.$domain"
  fwd_reg "$control" Domain REG_SZ "$domain"
  fwd_reg "$control" InstallPath REG_SZ "$bin"
  fwd_reg "$control" MailPath REG_SZ "$root/mail"
  fwd_reg "$control" TempPath REG_SZ "$root/temp"
  fwd_reg "$control" LogPath REG_SZ "$root/log"
  fwd_reg "$control" ConfigPath REG_SZ "$root/config"
  [ -z "$log_level" ] || fwd_reg "$control" LogLevel REG_DWORD "$log_level"
  fwd_reg "$smtp" Port REG_DWORD "$forward_ours_in"
  # No timed run while the load is queued.
  fwd_reg "$smtp" SMTPTimer REG_DWORD 86400
  fwd_reg "$smtp" ExchangeHost REG_SZ "127.0.0.1:$smarthost_port"
  if [ -n "$forward_plain" ]; then
    fwd_reg "$smtp" TLSOutgoing REG_DWORD 0
  else
    fwd_reg "$smtp" ExchangeUser REG_SZ "$smarthost_user"
    fwd_reg "$smtp" ExchangePassword REG_SZ "$smarthost_password"
    fwd_reg "$smtp" TLSOutgoing REG_DWORD 2
    fwd_reg "$smtp" TLSVerify REG_DWORD "$forward_verify"
  fi
}

# Starts the second qvsmtp95 with these SMTP Flags.
start_forwarder() {
  fwd_reg 'System\CurrentControlSet\Services\QuorvaneSmtp\Parameters' Flags REG_DWORD "$1"
  QUORVANE_SYSTEM=$forward_root/system QV_FORWARD_CA_FILE=$tls_cert \
    setsid "$bin/qvsmtp95" >>"$forward_root/log/qvsmtp95.out" 2>&1 </dev/null &
  # Rounds run in subshells: the pid is kept in a file, where the cleanup finds it too.
  echo $! >"$forward_root/pid"
  wait_port "$forward_ours_in"
}

stop_forwarder() {
  [ -s "$forward_root/pid" ] || return 0
  stop_pid "$(cat "$forward_root/pid")"
  rm -f "$forward_root/pid"
}

# USEMX (to the smart host), ESMTP and CLIENTEHLO (EHLO, which STARTTLS and AUTH need); with
# IMMEDIATELY a session that queued a message starts a forward run.
forward_flags=$((0x0002 | 0x0080 | 0x0200))
forward_immediately=0x0004

forward_our_run() {
  # What an earlier round left (reports of failed messages among them) is not part of the load.
  find "$forward_root/mail/forward" -maxdepth 1 -name '*.out' -delete 2>/dev/null || true
  start_forwarder "$forward_flags"
  forward_load "$forward_ours_in" 10 $((forward_count - 1))
  wait_files "$forward_root/mail/forward" '*.out' $((forward_count - 1)) 120 || true
  stop_forwarder
  start_forwarder $((forward_flags | forward_immediately))
  smarthost_reset
  local start cpu
  cpu=$(cpu_seconds "$smarthost_pid")
  start=$(now)
  forward_load "$forward_ours_in" 1 1
  smarthost_wait "$start" "$cpu" qvsmtp95
  stop_forwarder
}

forward_work() {
  local peer=() ours=() r name
  name="SMTP forward STARTTLS+AUTH, 1 KB x $forward_count"
  [ -z "$forward_plain" ] || name="SMTP forward in clear, 1 KB x $forward_count"
  local ours_tls="TLSOutgoing 2, TLSVerify $forward_verify"
  [ -z "$forward_plain" ] || ours_tls="TLSOutgoing 0 (--forward-plain)"
  echo "forward-tls: load $(cut -d' ' -f1-3 /proc/loadavg) at the start; qvsmtp95 $ours_tls"
  for r in $(seq 1 "$rounds"); do
    if [ $((r % 2)) -eq 1 ]; then
      peer+=("$(forward_peer_run)")
      ours+=("$(forward_our_run)")
    else
      ours+=("$(forward_our_run)")
      peer+=("$(forward_peer_run)")
    fi
  done
  record "$name" "msg/s" "$(echo "${peer[*]}" | median)" "$(echo "${ours[*]}" | median)" \
    "${peer[*]}" "${ours[*]}"
}
