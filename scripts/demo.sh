#!/usr/bin/env bash
# Corvid's main job: the mail client loads the extension; sending a message
# packs its attachments, and a ZIP that arrives is unpacked. On a fresh
# machine root (a temporary one unless CORVID_HOME is set) it prepares the
# default mail profile, registers the extension as its own export does
# (rundll32 corvina.dll,Install_RunDLL 1), sends a sample message with sample
# attachments through `corvid send` and shows it in "Sent Items"; then it
# delivers a message with a ZIP attachment made by Info-ZIP zip into the
# inbox, lets `corvid run --once` unpack it, and shows the result.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build corvid corvina rundll32 corvid-mapi corvid-reg corvid_mapi32 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "${CORVID_HOME:-}" ]; then
  export CORVID_HOME="$work/machine"
fi
dist=$PWD/dist

echo "== mail profile (CORVID_HOME=$CORVID_HOME) =="
"$dist/corvid-mapi" stores

echo "== register the extension =="
"$dist/rundll32" "$dist/corvina.dll,Install_RunDLL" 1
"$dist/corvid-reg" query 'HKLM\Software\Microsoft\Exchange\Client\Extensions'

echo "== sample attachments =="
mkdir -p "$work/samples"
for i in $(seq 1 4000); do
  echo "$i,sample row $i,$((i * 37 % 1000)),ok"
done >"$work/samples/report.csv"
sed -n '1,400p' README.md >"$work/samples/notes.txt"
(cd "$work/samples" && ls -l report.csv notes.txt)

echo "== corvid send =="
"$dist/corvid" send --to "Bob <bob@example.com>" --cc carol@example.com \
  --subject "Corvid demo: quarterly figures" \
  --body "Hello Bob, the figures and my notes are attached." \
  --attach "$work/samples/report.csv" --attach "$work/samples/notes.txt" </dev/null

echo "== Sent Items =="
"$dist/corvid-mapi" ls "Sent Items"
entry=$("$dist/corvid-mapi" ls "Sent Items" | tail -n 1 | cut -d' ' -f1)
"$dist/corvid-mapi" show "$entry"

echo "== the sent attachments =="
"$dist/corvid-mapi" save "$entry" "$work/sent" >/dev/null
for file in "$work/sent"/*; do
  case "$file" in
    *.zip) if command -v unzip >/dev/null; then unzip -l "$file"; else ls -l "$file"; fi ;;
    *) ls -l "$file" ;;
  esac
done

echo "== receiving: a message with a ZIP attachment arrives in the inbox =="
(cd "$work/samples" && zip -q "$work/figures.zip" report.csv notes.txt)
python3 - "$work/figures.zip" >"$work/incoming.eml" <<'PY'
import sys
from email.message import EmailMessage
m = EmailMessage()
m["From"] = "Bob <bob@example.com>"
m["To"] = "me@example.com"
m["Subject"] = "Re: Corvid demo: quarterly figures"
m.set_content("Here they are back, zipped.")
m.add_attachment(open(sys.argv[1], "rb").read(), maintype="application", subtype="zip", filename="figures.zip")
sys.stdout.buffer.write(bytes(m))
PY
"$dist/corvid-mapi" deliver <"$work/incoming.eml" >/dev/null
"$dist/corvid-mapi" ls

echo "== corvid run --once =="
"$dist/corvid" run --once </dev/null

echo "== the inbox message now =="
entry=$("$dist/corvid-mapi" ls | tail -n 1 | cut -d' ' -f1)
"$dist/corvid-mapi" show "$entry"
echo
