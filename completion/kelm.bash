# bash completion for kelm                                  -*- shell-script -*-
#
# kelm <encrypt|decrypt> inputfile outputfile keyfile
# kelm --help | --version
# shellcheck shell=bash

_kelm() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    # The options exist only as the single argument, so they are offered only
    # here, and only once a dash asks for them.
    local words='encrypt decrypt'
    [[ $cur == -* ]] && words='--help --version'
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
  elif ((COMP_CWORD <= 4)) && [[ ${COMP_WORDS[1]} != -* ]]; then
    # Input, output and key file. -o filenames quotes odd characters and marks
    # folders with a slash, so a path can be walked down one folder at a time.
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -F _kelm kelm
