# Bash completion for Tarnpak and grp: subcommands, options, .grp files where a group is
# expected, directories where a game directory is, and the stored names of the group given
# where names or masks follow it. Installed once under each command's name.

# Adds to COMPREPLY the .grp files (and directories, to walk into) matching the current word.
_tarnpak_groups() {
  local IFS=$'\n'
  COMPREPLY+=($(compgen -d -- "$cur") $(compgen -f -X '!*.grp*' -- "$cur"))
}

_tarnpak_dirs() {
  local IFS=$'\n'
  COMPREPLY+=($(compgen -d -- "$cur"))
}

_tarnpak_files() {
  local IFS=$'\n'
  COMPREPLY+=($(compgen -f -- "$cur"))
}

# The stored names of group file $1 that begin with the current word (any case), a level at
# a time: the word's levels may be split by '\' (escaped on the line, or quoted) or by '/',
# and the replies keep the user's separator and quoting, escaped as the shell needs them.
_tarnpak_stored_names() {
  [ -f "$1" ] || return
  local IFS=$'\n' name word=$cur quote=
  case $word in
    \'*) quote="'" word=${word#\'} ;;
    \"*) quote='"' word=${word#\"} word=${word//\\\\/\\} ;;
    *) word=${word//\\\\/\\} ;;
  esac
  local sep='\'
  [[ $word == */* ]] && sep=/
  local want=${word//\//\\}
  want=${want,,}
  local -A seen=()
  for name in $(grp list "$1" 2>/dev/null); do
    [[ ${name,,} == "$want"* ]] || continue
    [ "$sep" = / ] && name=${name//\\//}
    local rest=${name:${#word}}
    [[ $rest == *"$sep"* ]] && name=${name:0:${#word}}${rest%%"$sep"*}$sep
    [ -n "${seen[$name]:-}" ] && continue
    seen[$name]=1
    if [ "$quote" = "'" ]; then
      COMPREPLY+=("'$name")
    elif [ -n "$quote" ]; then
      COMPREPLY+=("\"${name//\\/\\\\}")
    else
      COMPREPLY+=("$(printf '%q' "$name")")
    fi
  done
  # A level goes on: no blank after it.
  [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *[\\/] ]] && compopt -o nospace 2>/dev/null
  return 0
}

_tarnpak_Tarnpak() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  # The options come before the path, in any order; "--sums FILE" takes the next word, and
  # "--" ends them. Only the first path is read.
  local at=1 ended=
  while [ "$at" -lt "$COMP_CWORD" ]; do
    case ${COMP_WORDS[at]} in
      --) ended=1 at=$((at + 1)); break ;;
      --sums) [ $((at + 1)) -eq "$COMP_CWORD" ] && { _tarnpak_files; return; }
              at=$((at + 2)) ;;
      -?*) at=$((at + 1)) ;;
      *) return ;;  # the path is given
    esac
  done
  [ "$at" -eq "$COMP_CWORD" ] || return
  if [[ -z $ended && $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--help -h --version -q --no-sync --sums --' -- "$cur"))
  else
    _tarnpak_groups
  fi
}

_tarnpak_grp() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W 'list verify sum cat extract add rm diff patch check table mount
      --help --version' -- "$cur"))
    return
  fi
  local command=${COMP_WORDS[1]} options='--help' i operands=()
  # The operands typed so far (the words before the current one that are no options).
  for ((i = 2; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -C | --sums) ((i++)) ;;
      -*) ;;
      *) operands+=("${COMP_WORDS[i]}") ;;
    esac
  done
  case $command in
    list) options='-l --json --help' ;;
    extract) options='-C --directory= -v --touch --help' ;;
    add) options='-C --sums --help' ;;
    verify) options='--sums --json --help' ;;
    rm) options='--dry-run --sums --help' ;;
    patch) options='--json --sums --help' ;;
    diff | table | sum) options='--json --help' ;;
    check) options='-v --json --help' ;;
  esac
  if [ "$prev" = -C ]; then
    _tarnpak_dirs
    return
  fi
  if [ "$prev" = --sums ]; then
    _tarnpak_files
    return
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    if [[ $COMPREPLY == *= ]]; then compopt -o nospace 2> /dev/null; fi
    return 0
  fi
  local n=${#operands[@]}
  case $command in
    list | verify) [ "$n" -eq 0 ] && _tarnpak_groups ;;
    diff) [ "$n" -lt 2 ] && _tarnpak_groups ;;
    patch) [ "$n" -lt 3 ] && _tarnpak_groups ;;
    sum) _tarnpak_groups ;;
    cat) if [ "$n" -eq 0 ]; then _tarnpak_groups; elif [ "$n" -eq 1 ]; then _tarnpak_stored_names "${operands[0]}"; fi ;;
    extract | rm) if [ "$n" -eq 0 ]; then _tarnpak_groups; else _tarnpak_stored_names "${operands[0]}"; fi ;;
    add) if [ "$n" -eq 0 ]; then _tarnpak_groups; else _tarnpak_files; fi ;;
    check) [ "$n" -eq 0 ] && _tarnpak_dirs ;;
    table) [ "$n" -eq 0 ] && _tarnpak_groups ;;
    mount) if [ "$n" -eq 0 ]; then _tarnpak_groups; elif [ "$n" -eq 1 ]; then _tarnpak_dirs; fi ;;
  esac
}

complete -o filenames -F _tarnpak_Tarnpak Tarnpak
complete -o filenames -F _tarnpak_grp grp
