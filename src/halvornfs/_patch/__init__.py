"""The transparent mode: the process's own file calls routed to a halvorn tree."""
