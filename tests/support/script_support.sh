# What the shell tests share: a scratch directory removed on exit ($work), a failure that
# names its cause and stops the test, and the clock in milliseconds.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
