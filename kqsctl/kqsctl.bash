# bash completion for kqsctl, the console of kqsd. The commands and each
# command's options come from kqsctl itself (kqsctl --complete-words
# [COMMAND]), so they are always the ones it parses; files follow --hosts and
# --ini (also as --hosts=FILE), host names -H, --server and --to; queue names
# and printer models come from the target server when it answers quickly.

# The first column below the header of a listing (queues, drivers) from the
# server the command line names with -H or --server (the last one; the local
# host by default), over the channel it names (--plain, --cacert, --cert,
# --key); nothing when it does not answer within half a second.
_kqsctl_listing() {
  local i server=127.0.0.1 channel=()
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -H | --server) ((i + 1 < cword)) && server=${words[i + 1]} ;;
      --server=*) server=${words[i]#--server=} ;;
      -H?*) server=${words[i]#-H} ;;
      --plain | --cacert=* | --cert=* | --key=*) channel+=("${words[i]}") ;;
      --cacert | --cert | --key) ((i + 1 < cword)) && channel+=("${words[i]}" "${words[i + 1]}") ;;
    esac
  done
  kqsctl -H "$server" "${channel[@]}" "$1" --timeout 500 2>/dev/null | awk 'NR > 1 { print $1 }'
}

_kqsctl() {
  local cur prev words cword split
  _init_completion -s || return

  case $prev in
    --hosts | --ini | --cacert | --cert | --key)
      _filedir
      return
      ;;
    -H | --server | --to)
      _known_hosts_real -- "$cur"
      return
      ;;
    --model)
      COMPREPLY=($(compgen -W "$(_kqsctl_listing drivers)" -- "$cur"))
      return
      ;;
  esac
  # The value of another option: nothing to guess.
  [[ $split == true ]] && return

  # The command is the first word that is neither an option nor the value of
  # one; a word after it is its name.
  local valued command="" named=0 skip=0 i w
  valued=" $(kqsctl --complete-words '*' 2>/dev/null | tr '\n' ' ') "
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    if ((skip)); then
      skip=0
    elif [[ $w == -* ]]; then
      [[ $w != *=* && $valued == *" $w= "* ]] && skip=1
    elif [[ -z $command ]]; then
      command=$w
    else
      named=1
    fi
  done
  ((skip)) && return

  if [[ $cur == -* ]]; then
    local opts
    opts=$(kqsctl --complete-words "${command:-*}" 2>/dev/null)
    COMPREPLY=($(compgen -W "${opts//=/}" -- "$cur"))
  elif [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$(kqsctl --complete-words 2>/dev/null)" -- "$cur"))
  elif [[ $command == remove-queue ]] && ((!named)); then
    COMPREPLY=($(compgen -W "$(_kqsctl_listing queues)" -- "$cur"))
  fi
}
complete -F _kqsctl kqsctl
