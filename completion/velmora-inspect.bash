# bash completion for velmora-inspect: its options, a directory after --extract, files where
# an image or an input goes, and nothing where --against takes a number.
# Installed as share/bash-completion/completions/velmora-inspect.

_velmora_inspect() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local options="--json --quiet --map --readback --extract --force --against --diff --help
                 --version"
  local i
  # The words after --against (BOOT APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2) and after
  # --diff (IMAGE_A IMAGE_B) are taken as they stand, options or not.
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --against)
        case $((COMP_CWORD - i)) in
          3 | 4 | 6 | 7) COMPREPLY=(); return ;;  # a load address or a status
          1 | 2 | 5) compopt -o filenames 2>/dev/null
             mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
        esac
        ;;
      --diff)
        if ((COMP_CWORD - i <= 2)); then
          compopt -o filenames 2>/dev/null
          mapfile -t COMPREPLY < <(compgen -f -- "$cur")
          return
        fi
        ;;
    esac
  done
  if [[ $prev == --extract ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    return
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

complete -F _velmora_inspect velmora-inspect
