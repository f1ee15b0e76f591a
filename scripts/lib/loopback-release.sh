# shellcheck shell=bash
# What scripts/demo and scripts/package-test share: a throwaway trust anchor and signing key, a
# sample release whose game records its start, and nginx serving a published site over TLS on
# loopback. Sourced by scripts that run with set -euo pipefail and define fail MESSAGE.
# start_nginx and stop_nginx use the caller's variables work, pki, site, port, web_host and
# download_host, and set nginx_pid and nginx_log.

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# baked_port BUILD: the loopback port compiled into the launcher of BUILD, if it has one.
baked_port() { sed -n 's/^KORVEL_DEMO_CONNECT_ADDRESS:STRING=127.0.0.1://p' "$1/CMakeCache.txt" 2>/dev/null || true; }

# make_trust PKI KEYS: the TLS trust anchor PKI/ca.pem (with its key) and the Ed25519 signing
# key pair KEYS/korvel-signing-{private,public}.pem, each made once: builds compile their paths
# or contents in.
make_trust() {
  local pki=$1 keys=$2
  mkdir -p "$pki" "$keys"
  if [[ ! -f $pki/ca.pem ]]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 -subj "/CN=Korvel demo CA" \
      -keyout "$pki/ca.key" -out "$pki/ca.pem" 2>/dev/null
  fi
  if [[ ! -f $keys/korvel-signing-public.pem ]]; then
    openssl genpkey -algorithm ed25519 -out "$keys/korvel-signing-private.pem" 2>/dev/null
    openssl pkey -in "$keys/korvel-signing-private.pem" -pubout -out "$keys/korvel-signing-public.pem"
  fi
}

# write_sample_bundle BUNDLE RELEASE PACK_MIB: the twelve files of a release (the pack file
# PACK_MIB MiB of random bytes). Its game is a script that records where it started from and
# with which environment in $HOME/korvel-game-runs/<time>.env.
write_sample_bundle() {
  local bundle=$1 release=$2 pack_mib=$3
  mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/Resources" "$bundle/Contents/_CodeSignature"
  cat >"$bundle/Contents/MacOS/KorvelOnlineLauncher" <<GAME
#!/bin/sh
# The demo's game: records that it started, where from and with which environment.
runs="\$HOME/korvel-game-runs"
mkdir -p "\$runs"
record="\$runs/\$(date +%s%N)"
{ echo "program=\$0"; echo "release=$release"; env | sort; } >"\$record.tmp" && mv "\$record.tmp" "\$record.env"
GAME
  printf '#!/bin/sh\necho "Korvel engine (demo)"\n' >"$bundle/Contents/MacOS/KorvelEngine"
  chmod 0755 "$bundle/Contents/MacOS/KorvelOnlineLauncher" "$bundle/Contents/MacOS/KorvelEngine"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>CFBundleName</key><string>Korvel</string></dict></plist>\n' \
    >"$bundle/Contents/Info.plist"
  printf 'APPL????' >"$bundle/Contents/PkgInfo"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict/></plist>\n' \
    >"$bundle/Contents/Resources/PrivacyInfo.xcprivacy"
  printf '[]\n' >"$bundle/Contents/Resources/AUDIO_LICENSES.json"
  printf '{"realm": "demo"}\n' >"$bundle/Contents/Resources/online.json"
  printf 'Korvel engine notices (demo)\n' >"$bundle/Contents/Resources/ENGINE_NOTICES.txt"
  printf '# Third-party licenses (demo)\n' >"$bundle/Contents/Resources/THIRD_PARTY_LICENSES.md"
  head -c 4096 /dev/urandom >"$bundle/Contents/Resources/icon.icns"
  head -c $((pack_mib << 20)) /dev/urandom >"$bundle/Contents/Resources/Korvel_Online.pck"
  printf 'unsigned\n' >"$bundle/Contents/_CodeSignature/CodeResources"
}

# nginx: both hosts over TLS on loopback, one certificate for both names (made once in pki).
start_nginx() {
  if [[ ! -f $pki/server.pem ]]; then
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$web_host" \
      -keyout "$pki/server.key" -out "$work/server.csr" 2>/dev/null
    printf 'subjectAltName=DNS:%s,DNS:%s\n' "$web_host" "$download_host" >"$work/san.ext"
    openssl x509 -req -in "$work/server.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
      -days 3650 -extfile "$work/san.ext" -out "$pki/server.pem" 2>/dev/null
  fi
  mkdir -p "$work/nginx/logs"
  cat >"$work/nginx/nginx.conf" <<CONF
master_process off;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
  log_format korvel '\$host \$request_uri \$status \$body_bytes_sent';
  access_log $work/nginx/logs/access.log korvel;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/client_body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  ssl_certificate $pki/server.pem;
  ssl_certificate_key $pki/server.key;
  server { listen 127.0.0.1:$port ssl; server_name $web_host; root $site/$web_host; }
  server { listen 127.0.0.1:$port ssl; server_name $download_host; root $site/$download_host; }
}
CONF
  nginx_log=$work/nginx/logs/access.log
  nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" -g 'daemon off;' &
  nginx_pid=$!
  for _ in $(seq 200); do
    curl -sf -o /dev/null --cacert "$pki/ca.pem" --connect-to "::127.0.0.1:$port" \
      "https://$web_host/online-beta/manifest.json" && return
    kill -0 "$nginx_pid" 2>/dev/null || fail "nginx did not start: $(cat "$work/nginx/logs/error.log")"
    sleep 0.1
  done
  fail "nginx did not answer on 127.0.0.1:$port"
}
stop_nginx() { kill -TERM "$nginx_pid" && wait "$nginx_pid" 2>/dev/null || true; nginx_pid=; }
