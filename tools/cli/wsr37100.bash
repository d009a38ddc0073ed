# bash completion for wsr37100: commands, their options, serial ports and option values.
# A new command is an entry in `options` (and in `operands` when it takes any); a new option that
# takes a value is an entry in `values`, saying what to offer for it.
_wsr37100() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command="" i
    local -A options=(
        [weigh]="--gap --log-dir --no-log --json --raw --watch --stable --equal --frame --help"
        [detect]="--bauds --json --all --help"
        [simulate]="--weight --frame --status --silent --partial --delay --sequence --link --line-speed --verbose --background --help"
        [ports]="--json --help"
        [demo]="--help"
        [serve]="--scale --config --listen --port --allow-origin --allow-host --token-file --no-token-on-network --max-connections --max-streams --check --help"
        [browser-policy]="--framed-by --install --remove --policy-dir --help"
    )
    # What each command takes besides options, in order.
    local -A operands=([weigh]="port baud" [detect]="port port port port port port port port")
    # What an option's value is: dir, file, port, scale (NAME=PORT...), baud, a list of words, or
    # nothing to offer (empty).
    local -A values=(
        [--log-dir]=dir [--policy-dir]=dir [--link]=file [--config]=file [--token-file]=file [--scale]=scale
        [--frame]="7 8" [--status]="I N S"
        [--bauds]= [--line-speed]= [--gap]= [--stable]= [--equal]= [--weight]= [--partial]= [--delay]= [--sequence]=
        [--listen]= [--port]= [--allow-origin]= [--allow-host]= [--max-connections]= [--max-streams]= [--framed-by]=
    )

    local operand=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        if [[ -z $command ]]; then
            [[ -n ${options[$word]+set} ]] && command=$word
        elif [[ $word == -* ]]; then
            [[ -n ${values[$word]+set} ]] && ((i++))
        elif [[ $word != = && ${COMP_WORDS[i-1]} != = ]]; then
            ((operand++))
        fi
    done
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "${!options[*]} --help --version" -- "$cur"))
        return
    fi

    # A scale's port, after NAME=: with "=" in COMP_WORDBREAKS (bash's default) the "=" is a word
    # of its own, and the word after it is the port.
    if [[ $cur == = && ${COMP_WORDS[COMP_CWORD-2]} == --scale ]]; then
        _wsr37100_offer port ""
        return
    elif [[ $prev == = && ${COMP_WORDS[COMP_CWORD-3]} == --scale ]]; then
        _wsr37100_offer port "$cur"
        return
    fi
    if [[ -n ${values[$prev]+set} && " ${options[$command]} " == *" $prev "* ]]; then
        _wsr37100_offer "${values[$prev]}" "$cur"
        return
    fi
    local expected=(${operands[$command]})
    if [[ $cur == -* || $operand -ge ${#expected[@]} ]]; then
        COMPREPLY=($(compgen -W "${options[$command]}" -- "$cur"))
    else
        _wsr37100_offer "${expected[operand]}" "$cur"
    fi
}

# Fills COMPREPLY with what completes WORD as a value of KIND (see `values` above).
_wsr37100_offer() {
    local kind=$1 word=$2
    case $kind in
        "") COMPREPLY=() ;;
        dir) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$word")) ;;
        file) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- "$word")) ;;
        port)
            if [[ $word == /* ]]; then
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$word"))
            else
                COMPREPLY=($(compgen -W "$(cd /dev 2>/dev/null && ls -d ttyS* ttyUSB* ttyACM* ttyAMA* 2>/dev/null)" -- "$word"))
            fi
            ;;
        scale)  # NAME=PORT, when "=" does not split words: the port after the name
            if [[ $word == *=* ]]; then
                _wsr37100_offer port "${word#*=}"
                COMPREPLY=("${COMPREPLY[@]/#/${word%%=*}=}")
            else
                COMPREPLY=()
            fi
            ;;
        baud) COMPREPLY=($(compgen -W "1200 2400 4800 9600 19200 38400 57600 115200" -- "$word")) ;;
        *) COMPREPLY=($(compgen -W "$kind" -- "$word")) ;;
    esac
}
complete -F _wsr37100 wsr37100
