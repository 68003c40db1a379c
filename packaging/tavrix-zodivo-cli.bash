# bash completion for tavrix-zodivo-cli: its commands, the options that the command takes, and
# the hidraw nodes for --unit (a serial number is the other choice, which only the user knows).
_tavrix_zodivo_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --unit)
            COMPREPLY=($(compgen -W "$(compgen -G '/dev/hidraw*')" -- "$cur"))
            return
            ;;
        --timeout | --until | --fail-on)
            return
            ;;
    esac
    $split && return

    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --unit | --timeout | --until | --fail-on) ((i++)) ;;
            -*) ;;
            *) command=${words[i]} ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local options="--unit --json --help --version"
        case $command in
            list) options+=" --watch" ;;
            id) options+=" --timeout --new --each" ;;
            monitor) options+=" --timeout --all --reconnect --timestamps --until --fail-on --raw --journal" ;;
            '') options+=" --timeout --watch --new --each --all --reconnect --timestamps --until --fail-on --raw --journal" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ ! $command ]]; then
        COMPREPLY=($(compgen -W "list id monitor" -- "$cur"))
    fi
} &&
    complete -F _tavrix_zodivo_cli tavrix-zodivo-cli
