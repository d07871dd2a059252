"""One module per command of the tool: each has `add_parser(sub)` (its options on the tool's
subcommand parser) and `run(args, out)` (the command, returning the exit status)."""
