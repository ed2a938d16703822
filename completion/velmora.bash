# bash completion for velmora: file names where its eight positional words take a file (1 the
# bootloader, 2 APP1, 5 APP2, 8 the output), nothing where they take a number (3 and 6 the load
# addresses, 4 and 7 the statuses), and nothing after the eighth word, which velmora ignores.
# Installed as share/bash-completion/completions/velmora.

_velmora() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  case $COMP_CWORD in
    1 | 2 | 5 | 8)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    *) COMPREPLY=() ;;
  esac
}

complete -F _velmora velmora
