#!/usr/bin/env bash
# The main job: installs the packages, builds the release tree, shows the library's version
# and exported entry points (through the host qvx), then runs a demonstration in a machine
# root of its own under the build folder: it enrolls the current user, encrypts a sample folder
# and a sample file with `qvclient encrypt`, decrypts them with `qvclient decrypt`, and checks
# that every byte came back; then it registers the library, uses the context menu, lists the
# container as the file manager's view would (`qvx ls`) and shows its sharing list. It never waits for input: the programs run without a terminal
# and read the password from a file. Exits non-zero when any step fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
bin=$here/build/release/bin
"$bin/qvx" info

# ---- The demonstration, in a private machine root that is made afresh on every run.
demo=$here/build/release/demo
rm -rf "$demo"
mkdir -p -m 0700 "$demo" "$demo/root" "$demo/run" "$demo/tmp"
export QV_ROOT=$demo/root XDG_RUNTIME_DIR=$demo/run TMPDIR=$demo/tmp
export QV_PASSWORD_FILE=$demo/password
# Dialogs go to the terminal back end (answers given in advance without a terminal), never to
# windows, even when this runs on a desktop.
export QV_UI=terminal
unset QV_PRODUCT_LIBRARY QV_OPEN_COMMAND
(umask 077 && printf '%s\n' 'correct horse battery staple' >"$QV_PASSWORD_FILE")

fail() {
  echo "main: FAILED: $*" >&2
  exit 1
}

# Runs a program of the build without a controlling terminal (so it never prompts, even when
# this script runs in one) and shows its output indented under the command line.
run() {
  local shown
  printf -v shown ' %q' "${@/#$bin\//}"
  echo "\$${shown}"
  setsid -w "$@" </dev/null 2>&1 | sed 's/^/    /'
}

work=$demo/work
keep=$demo/originals
mkdir -p "$work/Project plans/drafts" "$work/Project plans/empty folder" "$keep"
printf 'Budget 2025\nrent 1200\nsalaries 8400\n' >"$work/Project plans/budget.txt"
printf 'Minutes of the meeting\n' >"$work/Project plans/meeting notes.txt"
printf 'first draft\n' >"$work/Project plans/drafts/draft 1.txt"
head -c 300000 /dev/urandom >"$work/Project plans/drafts/scan.bin"
printf 'Dear bank,\n...\n' >"$work/letter.txt"
cp -a "$work/Project plans" "$work/letter.txt" "$keep/"

echo
echo "== Demonstration in $demo"
echo "   (QV_ROOT, XDG_RUNTIME_DIR and TMPDIR point inside it; the password is in"
echo "   $QV_PASSWORD_FILE, mode 0600, named by QV_PASSWORD_FILE)"
echo
run "$bin/qvenroll" || fail "enrollment"
cd "$work"
echo "\$ find . | sort"
find . -mindepth 1 | sort | sed 's/^/    /'
echo
run "$bin/qvclient" encrypt "Project plans" || fail "encrypting the folder"
run "$bin/qvclient" encrypt letter.txt || fail "encrypting the file"
echo "\$ ls -la"
ls -la | sed 's/^/    /'
[ -f "Project plans.qvef" ] && [ -f letter.txt.qvf ] || fail "the encrypted forms are missing"
[ ! -e "Project plans" ] && [ ! -e letter.txt ] || fail "the plain forms are still there"
grep -q 'rent 1200' letter.txt.qvf "Project plans.qvef" && fail "plain text inside an encrypted file"
echo
run "$bin/qvclient" decrypt "Project plans.qvef" || fail "decrypting the folder"
run "$bin/qvclient" decrypt letter.txt.qvf || fail "decrypting the file"
echo "\$ ls -la"
ls -la | sed 's/^/    /'
[ ! -e "Project plans.qvef" ] && [ ! -e letter.txt.qvf ] || fail "the encrypted forms are still there"
echo
# Every file, folder (the empty one too) and byte must be back.
diff -r "$keep/Project plans" "Project plans" || fail "the folder differs from the original"
cmp "$keep/letter.txt" letter.txt || fail "the file differs from the original"
echo "\$ sha256sum of the decrypted files (each compared with a copy kept in $keep)"
find "Project plans" letter.txt -type f -print0 | sort -z | xargs -0 sha256sum | sed 's/^/    /'
echo "    every byte matches; the empty folder is back as well"
echo
run "$bin/qvclient" audit || fail "reading the audit records"

# Registration into the same private root, with desktop folders of its own.
echo
export XDG_DATA_HOME=$demo/data XDG_CONFIG_HOME=$demo/config
run "$bin/qvx" register || fail "registering the library"
grep -q 'InprocServer32' "$QV_ROOT/registry/hive" || fail "the registry holds no class"
echo "\$ files written for the desktop (from $QV_ROOT/desktop-files)"
sed -n 's/^file [0-9a-f]* //p' "$QV_ROOT/desktop-files" | sed "s|^$demo/|    |"
# The right-click menu as a file manager gets it from the registered handler; it offers its
# items while the suite runs.
setsid "$bin/qvclient" start </dev/null >"$demo/suite.log" 2>&1 &
for _ in $(seq 50); do "$bin/qvclient" status >/dev/null 2>&1 && break; sleep 0.1; done
run "$bin/qvx" menu "Project plans" || fail "the menu of a folder"
run "$bin/qvx" menu --run QVEncryptCMD -- letter.txt || fail "encrypting from the menu"
run "$bin/qvx" menu letter.txt.qvf || fail "the menu of an encrypted file"
run "$bin/qvx" menu --run QVDecryptCMD -- letter.txt.qvf || fail "decrypting from the menu"
cmp "$keep/letter.txt" letter.txt || fail "the file differs after the menu's round trip"
# A container browsed as a folder, its sharing list, and back through the menu.
run "$bin/qvx" menu --run QVEncryptCMD -- "Project plans" || fail "encrypting a folder from the menu"
run "$bin/qvx" ls "Project plans.qvef" || fail "listing the container"
run "$bin/qvx" ls "Project plans.qvef/drafts" || fail "listing a folder inside the container"
"$bin/qvx" ls --tsv "Project plans.qvef/drafts" </dev/null | grep -q '^scan.bin' ||
  fail "the container's listing lacks a file"
run "$bin/qvx" share "Project plans.qvef" || fail "reading the container's sharing list"
run "$bin/qvx" menu --run QVDecryptCMD -- "Project plans.qvef" || fail "decrypting a folder from the menu"
diff -r "$keep/Project plans" "Project plans" || fail "the folder differs after the menu's round trip"
"$bin/qvclient" stop >/dev/null 2>&1 || fail "stopping the suite"
run "$bin/qvx" unregister || fail "unregistering the library"
[ ! -e "$QV_ROOT/desktop-files" ] || fail "the desktop files are still listed"

cat <<EOF

== Do the same with your own files (your machine root is ~/.local/share/quorvin unless
   QV_ROOT says otherwise; the password is asked on the terminal):

    $bin/qvenroll
    $bin/qvclient encrypt ~/Documents/private       # a folder: makes private.qvef
    $bin/qvclient decrypt ~/Documents/private.qvef  # (a file NAME becomes NAME.qvf)
EOF
