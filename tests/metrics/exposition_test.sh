#!/usr/bin/env bash
# FormatMetrics' exposition of two sample controllers, read by Prometheus'
# Python parser and linted (check_exposition.py): it must pass, with the
# samples that carry escaped names decoded as they were. First the checker
# is shown to refuse malformed expositions, each for its own reason, so
# that its pass means something.
#
#   exposition_test.sh WRITE_EXPOSITION CHECK_EXPOSITION SCRATCH_DIR
set -u
write=$1 checker=$2 scratch=$3
python=/usr/bin/python3
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
rm -rf "$scratch"
mkdir -p "$scratch"
if ! "$python" -c 'import prometheus_client' 2>/dev/null; then
  echo "FAIL: $python lacks prometheus_client (run scripts/install-deps.sh)"
  exit 1
fi
good=$scratch/good.prom
"$write" >"$good" || { echo "FAIL: e1_write_exposition"; exit 1; }

# refused NAME PROBLEM COMMAND...: the good text passed through COMMAND
# (standard input to output) must be refused with a line that holds PROBLEM.
refused() {
  local name=$1 problem=$2 bad=$scratch/$1.prom out
  shift 2
  "$@" <"$good" >"$bad"
  if cmp -s "$good" "$bad"; then fail "$name: the edit changed nothing"; return; fi
  out=$("$python" "$checker" "$bad" 2>&1)
  local rc=$?
  if [ $rc -ne 1 ]; then
    fail "$name: checker status $rc, not 1"
  elif ! grep -qF -- "$problem" <<<"$out"; then
    fail "$name: refused, but not for '$problem':"
  else
    echo "ok: malformed ($name) refused: $(grep -F -- "$problem" <<<"$out" | head -n 1)"
    return
  fi
  echo "$out"
}
refused unescaped-quote 'not a sample line' \
  sed -e 's/version="0.9_rc4"/version="0.9"rc4"/'
refused bad-value 'not a sample line' \
  sed -e 's/^\(e1ctld_uart_losses_total{controller="1-1.3:1.0"}\) 2$/\1 two/'
refused bad-escape 'not a sample line' \
  sed -e 's/tty="ttyACM0"/tty="tty\\tACM0"/'
refused counter-without-total 'counter e1ctld_uart_reopens is not named' \
  sed -e 's/e1ctld_uart_reopens_total/e1ctld_uart_reopens/g'
refused gauge-named-total 'ends in _total but is a gauge' \
  sed -e 's/^# TYPE e1ctld_uart_losses_total counter$/# TYPE e1ctld_uart_losses_total gauge/'
refused family-in-two-pieces 'outside its family' \
  sed -e '/^e1ctld_build_info{controller="2-1:1.0"/{h;d}' -e '${G}'
refused no-type 'lacks HELP or TYPE' \
  sed -e '/^# TYPE e1ctld_log_level gauge$/d'
refused series-twice 'given twice' \
  sed -e 's/^\(e1ctld_log_level{controller="\)2-1:1.0\("}\)/\11-1.3:1.0\2/'
refused camel-case 'snake_case' \
  sed -e 's/e1ctld_log_level/e1ctld_logLevel/g'
refused milliseconds 'non-base unit' \
  sed -e 's/e1ctld_start_time_seconds/e1ctld_start_time_milliseconds/g'
refused last-line-cut 'no line feed' head -c -1
# A text the parser itself gives up on (a label list without its value).
printf '# HELP x_total X.\n# TYPE x_total counter\nx_total{a="1"\n' >"$scratch/parser.prom"
out=$("$python" "$checker" "$scratch/parser.prom" 2>&1)
if [ $? -eq 1 ] && grep -q 'prometheus_client refused' <<<"$out"; then
  echo "ok: malformed (parser refusal) refused: $(grep 'prometheus_client refused' <<<"$out")"
else
  fail "parser refusal not reported:"; echo "$out"
fi

# The real exposition, with samples whose names were escaped.
if "$python" "$checker" "$good" \
  --expect e1ctld_pair_info '{"controller":"1-1.3:1.0","pair":"1","wanted":"e1\"b\\x","current":""}' 1 \
  --expect e1ctld_build_info '{"controller":"2-1:1.0","version":"0.9_rc5"}' 1 \
  --expect e1ctld_uart_line_wait_seconds_total '{"controller":"1-1.3:1.0"}' 1.53 \
  --expect e1ctld_port_replies_dropped_after_eof_total '{"controller":"2-1:1.0","port":"0"}' 5 \
  --expect e1ctld_uart_state '{"controller":"2-1:1.0","state":"lost"}' 1; then
  echo "ok: FormatMetrics' exposition parses and lints clean"
else
  fail "FormatMetrics' exposition"
fi
[ $fails -eq 0 ] && echo "all exposition checks passed" || echo "$fails exposition checks failed"
[ $fails -eq 0 ]
