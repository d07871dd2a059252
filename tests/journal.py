"""Reading the simulator's journal in tests: what reached the SDK, call by call."""


def lines(sim):
    """Every journal line kept, oldest first."""
    return [sim.journal_entry(i) for i in range(sim.journal_count())]


def calls_to(sim, function):
    """Journal lines of one SDK function, oldest first."""
    prefix = function + "("
    return [line for line in lines(sim) if line.startswith(prefix)]


def last(sim):
    """The newest journal line, or None for an empty journal."""
    return sim.journal_entry(-1) if sim.journal_count() else None
