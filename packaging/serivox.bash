# SPDX-License-Identifier: MIT
# Bash completion for serivox: option names, flow-control modes, and port
# names for --port: the serial devices in /dev (ttyUSB*, ttyACM*, and the
# ttyS* that have a UART behind them, as the program's own list) and the
# built-in ports. Remote ports (rfc2217://, tcp://) are typed in full.
_serivox() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --port)
      local ports=(LOOPBACK NULLMODEM-A NULLMODEM-B) dev
      for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
        [[ -e $dev ]] || continue
        # A legacy ttyS entry with no UART behind it has the type 0.
        [[ $dev == /dev/ttyS* && $(cat "/sys/class/tty/${dev#/dev/}/type" 2> /dev/null) == 0 ]] && continue
        ports+=("$dev")
      done
      mapfile -t COMPREPLY < <(compgen -W "${ports[*]}" -- "$cur")
      return
      ;;
    --flow)
      mapfile -t COMPREPLY < <(compgen -W "none hardware software" -- "$cur")
      return
      ;;
    --databits)
      mapfile -t COMPREPLY < <(compgen -W "5 6 7 8" -- "$cur")
      return
      ;;
    --parity)
      mapfile -t COMPREPLY < <(compgen -W "none odd even mark space" -- "$cur")
      return
      ;;
    --stopbits)
      mapfile -t COMPREPLY < <(compgen -W "1 1.5 2" -- "$cur")
      return
      ;;
    --baud)
      mapfile -t COMPREPLY < <(compgen -W "110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 \
        115200 128000 256000" -- "$cur")
      return
      ;;
    --log)
      compopt -o filenames 2> /dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    -platform | --platform)
      mapfile -t COMPREPLY < <(compgen -W "xcb wayland offscreen" -- "$cur")
      return
      ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "--port --baud --flow --databits --parity --stopbits --connect --log --help --version" -- "$cur")
}
complete -F _serivox serivox
