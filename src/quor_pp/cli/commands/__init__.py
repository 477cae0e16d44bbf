"""Subcommands of the `quor-pp` command, one module each with `register(subparsers)`."""
