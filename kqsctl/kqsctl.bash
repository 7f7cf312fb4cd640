# bash completion for kqsctl, the console of kqsd: commands, their options,
# files for --hosts and --ini, host names for -H.
_kqsctl() {
  local cur prev words cword
  _init_completion || return

  case $prev in
    --hosts | --ini | --cacert | --cert | --key)
      _filedir
      return
      ;;
    -H | --server | --to)
      _known_hosts_real -- "$cur"
      return
      ;;
    --timeout | --parallel | --model | --device | --class | --export | --ip-port | --type | \
      --devtype | --pslevel | --personality | --host | --ip | --hw | --port)
      return
      ;;
  esac

  local commands="discover queues drivers monitors add-queue remove-queue add-port remove-port login passwd help"
  local command="" w
  for w in "${words[@]:1:cword-1}"; do
    case " $commands " in *" $w "*) command=$w && break ;; esac
  done

  local targets="-H --server --hosts --discovered --to --parallel --timeout --json --verbose
                 --plain --cacert --cert --key"
  local opts
  case $command in
    "") opts="$commands --help --version $targets" ;;
    discover) opts="--to --timeout --json --verbose" ;;
    queues | drivers | monitors | login) opts="$targets" ;;
    add-queue)
      opts="$targets --login --model --device --class --default --export --ip-port --type --devtype
            --teoj --jrecov --banner --pslevel --personality"
      ;;
    add-port) opts="$targets --login --host --ip --hw --port" ;;
    remove-queue | remove-port) opts="$targets --login" ;;
    passwd) opts="--ini --verbose" ;;
    *) opts="" ;;
  esac
  COMPREPLY=($(compgen -W "$opts" -- "$cur"))
}
complete -F _kqsctl kqsctl
