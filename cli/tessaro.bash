# bash completion for tessaro
_tessaro() {
    local cur prev words cword
    _init_completion || return
    local commands="authorize status pick get create update revoke reset"
    local global="--origin --client-id --open-with --json --reveal --help --version"
    case "$prev" in
        --origin|--client-id|--open-with|--hint|--vault|--reason|--title|--url|--username) return ;;
        --field) COMPREPLY=($(compgen -W "title username password url notes" -- "$cur")); return ;;
    esac
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
            authorize|status|pick|get|create|update|revoke|reset) command="${words[i]}"; break ;;
        esac
    done
    local options="$global"
    case "$command" in
        pick) options+=" --hint --vault --reason" ;;
        get) options+=" --vault" ;;
        create) options+=" --title --url --username --vault --reason" ;;
        update) options+=" --vault --field --reason" ;;
        "") COMPREPLY=($(compgen -W "$commands $global" -- "$cur")); return ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _tessaro tessaro
