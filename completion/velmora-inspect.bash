# bash completion for velmora-inspect: its options, a directory after --extract, files where
# an image or an input goes, and nothing where --against takes a number.
# Installed as share/bash-completion/completions/velmora-inspect.

_velmora_inspect() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local options="--json --quiet --map --readback --strict --allow --extract --force --against
                 --diff --help --version"
  # The warnings --allow accepts: the checks that warn, and the losses of the numeric words.
  local warnings="app1_padding app2_padding bootloader_size app1_load_addr app2_load_addr
                  app1_size app2_size active_app bootloader_input app1_swapped app2_swapped
                  load_overlap app1_load_window app2_load_window bootloader_format app1_format
                  app2_format app1_invalid app2_invalid"
  local word kind
  for word in load_addr1 status1 load_addr2 status2; do
    for kind in no_digit skipped_bytes too_long; do
      warnings+=" ${word}_${kind}"
    done
    [[ $word == load_addr* ]] && warnings+=" ${word}_decimal" || warnings+=" ${word}_negative"
  done
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
  if [[ $prev == --allow ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$warnings" -- "$cur")
    return
  fi
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
