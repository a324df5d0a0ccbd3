# shellcheck shell=bash
# Sourced by the benchmark scripts: reading back the shell's `times`.

# Sets $2 to the processor time, in milliseconds, that the shell's finished
# children have used, as the file $1 written by `times` holds it. The caller
# defines die.
children_ms() {
  local line
  { read -r _ && read -r line; } < "$1"
  [[ $line =~ ^([0-9]+)m([0-9]+)\.([0-9]{3})s\ ([0-9]+)m([0-9]+)\.([0-9]{3})s$ ]] ||
    die "cannot read the times line '$line'"
  local r=("${BASH_REMATCH[@]}")
  printf -v "$2" %d $(((10#${r[1]} + 10#${r[4]}) * 60000 + (10#${r[2]} + 10#${r[5]}) * 1000 \
    + 10#${r[3]} + 10#${r[6]}))
}
