#!/usr/bin/env bash
# The written style, checked: every tracked C++ file as .clang-format lays it
# out, and clang-tidy's chosen checks (.clang-tidy, warnings as errors) clean
# over the product's and the tests' sources. Needs a configured build (for its
# compile_commands.json); the test command runs it after building.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZAV_BUILD:-$repo/build}
jobs=${ZAV_JOBS:-$(nproc)}
cd "$repo"

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$build/clang-format.log"; then
  head -n 40 "$build/clang-format.log" >&2
  echo "style: files differ from .clang-format (clang-format -i fixes them)" >&2
  exit 1
fi
echo "style: clang-format clean (${#files[@]} files)"

# The census of the rules written once: each line names a rule, the search
# that finds where it is written (an extended regular expression over the
# product's sources, tests and benchmarks left out) and the one file it may be
# written in (a regular expression of its path). A hit anywhere else, or none there, fails with the rule's name:
# fold the new copy into that file instead.
census_failed=0
rule() {
  local name=$1 pattern=$2 home=$3 hits
  hits=$(git grep -nE "$pattern" -- '*.cpp' '*.h' ':!tests/' ':!bench/' || true)
  if [[ -z $hits ]] || grep -Eqv "^($home):" <<<"$hits"; then
    echo "style: the rule \"$name\" is written outside $home:" >&2
    grep -Ev "^($home):" <<<"$hits" >&2 || echo "  (and no longer in $home)" >&2
    census_failed=1
  fi
}
rule "an invoice's day (SQLite)" 'SUBSTR\([^)]*, ?1, ?10\)' db/tools/database.cpp
rule "an invoice's day (PostgreSQL)" "TO_CHAR\([^)]*'YYYY-MM-DD'\)" db/tools/database.cpp
rule "the access key from its parts" 'completeAccessKey\(p\.|yyMM' fiscal/accesskey.cpp
rule "the modulo-11 check digit" '% ?11\b' fiscal/digits.cpp
rule "the screen's permission and its text" 'não tem permissão para usar|mayUse\(.*kProgram' server/access/operatorstore.cpp
rule "a statement run or its error" '^(\[\[noreturn\]\] )?[A-Za-z:]+ (fail|prepared|[a-z]+OrThrow|throwStatementError)\(' 'db/tools/statement\.(h|cpp)'
rule "the calls' records, field by field" '"(NRPROTOCOLONFE|DSERRO)"\)?, *(FieldType::|ft)String' 'wire/records\.h'
rule "the reason's minimum length" 'kReasonMinimum *=|(length|size)\(\) *< *15\b' fiscal/reasonrule.h
rule "a packet's CBOR cells, one reading" 'cbor_stream_decode\(|toFloat16\(|isFloat16\(' 'host/data/datapacketcbor\.cpp'
rule "TLS client set-up" 'SSL_(CTX_)?use_(certificate|PrivateKey)|SSL_CTX_add[01]_chain_cert|SSL_CTX_use_cert_and_key' nfe/clienttls.cpp
rule "answer codes" '\bstatus *(==|!=) *([13-9][0-9]{2}|2(0[1-9]|[1-9][0-9]))\b|case [0-9]{3}:|^ +[A-Z][A-Za-z]+ = [0-9]{3},$' nfe/vocabulary.h
rule "event type" "[\"']11011[12][\"']" nfe/vocabulary.h
rule "store probe" 'FROM NOTAFISCAL WHERE 1 = 0' server/store/storeprobe.h
rule "the host's sign-in path" '"/?sessao"' wire/paths.h
(( census_failed == 0 )) || exit 1
echo "style: census clean (each rule written once)"

# Our sources are UTF-8: a text with an accent read as Latin-1 reaches the
# operator as "conexÃ£o". Such a text is never written inside QLatin1String,
# QLatin1StringView, QLatin1Char or fromLatin1, and a narrow constant that
# holds one is never handed to them (QString::fromUtf8 reads it).
latin1_hits=$(git ls-files '*.cpp' '*.h' | xargs perl -0777 -ne '
  my $src = $_;
  while ($src =~ /((?:QLatin1String(?:View)?|QLatin1Char|fromLatin1)\s*\(\s*(?:"(?:[^"\\]|\\.)*"\s*)+)/g) {
    my $use = $1;
    print "$ARGV: $use\n" if $use =~ /[^\x00-\x7F]/;
  }
  while ($src =~ /\bchar\s*(?:\*\s*)?(?:const\s+)?(?:\w+::)*(\w+)(?:\[\])?\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+)[;,]/g) {
    my ($name, $text) = ($1, $2);
    $accented{$name} = 1 if $text =~ /[^\x00-\x7F]/;
  }
  while ($src =~ /((?:QLatin1String(?:View)?|fromLatin1)\s*\(\s*(?:\w+::)*(\w+)\s*[,)])/g) {
    push @uses, [$ARGV, $1, $2];
  }
  END { print "$$_[0]: $$_[1]\n" for grep { $accented{$$_[2]} } @uses }')
if [[ -n $latin1_hits ]]; then
  echo "style: UTF-8 text read as Latin-1 (use QString::fromUtf8 or QStringLiteral):" >&2
  echo "$latin1_hits" >&2
  exit 1
fi
echo "style: no UTF-8 text read as Latin-1"

# The translation units the build compiles, the generated ones left out.
pattern="^$repo/(app|bench|common|db|fiscal|wire|host|nfe|authority|server|screen|criteria|invoices|cancellation|tests)/.*\\.cpp\$"
if ! run-clang-tidy -p "$build" -j "$jobs" -quiet "$pattern" >"$build/clang-tidy.log" 2>&1; then
  grep -E 'warning:|error:' "$build/clang-tidy.log" | head -n 40 >&2 || tail -n 40 "$build/clang-tidy.log" >&2
  echo "style: clang-tidy found problems (all of them in $build/clang-tidy.log)" >&2
  exit 1
fi
echo "style: clang-tidy clean"
