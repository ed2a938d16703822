# bash completion for velmora: file names where its eight positional words take a file (1 the
# bootloader, 2 APP1, 5 APP2, 8 the output), nothing where they take a number (3 and 6 the load
# addresses, 4 and 7 the statuses), and nothing after the eighth word, which velmora ignores.
# Installed as share/bash-completion/completions/velmora.

_velmora() {
  local cur=${COMP_WORDS[COMP_CWORD]} cword=$COMP_CWORD
  # bash splits a word at = and :, so a path such as a:b.bin would count as three words;
  # bash-completion, which loads this file, puts such a word together again.
  if declare -F _get_comp_words_by_ref >/dev/null; then
    _get_comp_words_by_ref -n =: cur cword
  fi
  case $cword in
    1 | 2 | 5 | 8)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      # readline replaces only what follows the word's last = or :, so the names lose what
      # comes before it.
      local prefix=${cur%"${cur##*[=:]}"}
      if [[ -n $prefix ]]; then
        COMPREPLY=("${COMPREPLY[@]#"$prefix"}")
      fi
      ;;
    *) COMPREPLY=() ;;
  esac
}

complete -F _velmora velmora
