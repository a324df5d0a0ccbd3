#!/usr/bin/env bash
# Sources kelm's bash completion and checks what it offers for each position
# on the command line, in a folder of known files.
#
#   tests/completion_test.sh completion/kelm.bash
set -euo pipefail
script=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir folder
touch notes.txt my.key 'two words' folder/inner

# compopt works only while bash is completing for real; record what the
# completion asks for instead.
compopt() { options+="$*"; }
# shellcheck source=/dev/null
source "$script"
complete -p kelm >/dev/null

# Completes the last word of LINE (words split at blanks, an empty last word
# after a trailing blank) and prints the offers, sorted, joined with '|',
# prefixed with [filenames] when names are to be quoted as file names.
offers() {
  local line=$1
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line COMP_POINT=${#line}
  options=''
  _kelm kelm "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local sorted=''
  ((${#COMPREPLY[@]})) && sorted=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
  [[ $options == *filenames* ]] && sorted="[filenames]${sorted:+ }$sorted"
  printf '%s' "$sorted"
}

passed=0 failed=0
check() {
  local name=$1 line=$2 want=$3 got
  got=$(offers "$line")
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: "%s" offered "%s", wanted "%s"\n' "$name" "$line" "$got" "$want"
  fi
}

#     row                               command line              offers
check 'mode, nothing typed'             'kelm '                   'decrypt|encrypt'
check 'mode, a prefix'                  'kelm de'                 'decrypt'
check 'mode, a word no mode starts'     'kelm x'                  ''
check 'a dash asks for the options'     'kelm -'                  '--help|--version'
check 'one option by its prefix'        'kelm --v'                '--version'
check 'input, nothing typed'            'kelm encrypt '           '[filenames] folder|my.key|notes.txt|two words'
check 'input, a prefix'                 'kelm encrypt no'         '[filenames] notes.txt'
check 'a name with a blank'             'kelm encrypt tw'         '[filenames] two words'
check 'inside a folder'                 'kelm encrypt folder/'    '[filenames] folder/inner'
check 'output after a typo in the mode' 'kelm encrpyt in '        '[filenames] folder|my.key|notes.txt|two words'
check 'key file, the last argument'     'kelm decrypt in out my'  '[filenames] my.key'
check 'options only as the first word'  'kelm encrypt --'         '[filenames]'
check 'nothing after the key file'      'kelm encrypt in out k '  ''
check 'nothing after --help'            'kelm --help '            ''

printf '%d passed, %d failed\n' "$passed" "$failed"
((failed == 0))
