"""The subcommands of `python -m korvo.reporter`, one module each (see cli.COMMANDS)."""
