# bash completion for wsr37100: commands, their options, serial ports and option values.
_wsr37100() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            weigh | simulate | ports | demo) command=${COMP_WORDS[i]}; break ;;
        esac
    done
    local options
    case $command in
        "") COMPREPLY=($(compgen -W "weigh simulate ports demo --help --version" -- "$cur")); return ;;
        weigh)
            case $prev in
                --log-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
                --gap | --stable | --equal | --frame) return ;;
            esac
            options="--gap --log-dir --no-log --json --raw --watch --stable --equal --frame --help"
            ;;
        simulate)
            case $prev in
                --frame) COMPREPLY=($(compgen -W "7 8" -- "$cur")); return ;;
                --status) COMPREPLY=($(compgen -W "I N S" -- "$cur")); return ;;
                --link) COMPREPLY=($(compgen -f -- "$cur")); return ;;
                --weight | --partial | --delay | --sequence) return ;;
            esac
            options="--weight --frame --status --silent --partial --delay --sequence --link --help"
            ;;
        ports) options="--json --help" ;;
        demo) options="--help" ;;
    esac
    if [[ $cur == -* || $command != weigh ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ $cur == /* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$(cd /dev 2>/dev/null && ls -d ttyS* ttyUSB* ttyACM* ttyAMA* 2>/dev/null)" -- "$cur"))
    fi
}
complete -F _wsr37100 wsr37100
