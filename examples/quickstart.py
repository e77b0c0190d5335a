"""A short tour of halvorn: a file system in memory, and a terminal on it."""

import halvorn

fs = halvorn.PyFs()
fs.mkdir("/docs")
fs.mkdir("/docs/drafts")

# A with block closes the handle on the way out, on an exception too, and
# with it releases the file's lock.
with fs.open("/docs/hello.txt", "w") as handle:  # created on open
    handle.write(b"Hello from memory\n")

with fs.open("/docs/hello.txt", "r") as handle:
    data = handle.read(1024)  # reports "Read 18 bytes from file" on standard output
    print("handle:", repr(handle))  # one short line; str() renders the whole file system
print("closed:", handle.closed)
print("contents:", data)
print("fs:", repr(fs))

print("listdir:", fs.listdir("/docs"))
print("tree:")
print(fs.tree("/", "  "), end="")

term = halvorn.PyTerm(fs)
term.exec("cd docs")
print("pwd:", term.exec("pwd"))
print("term:", repr(term))
print("cat:", term.exec("cat hello.txt"), end="")
try:
    term.exec("cat missing.txt")
except ValueError as error:
    print("error:", error)
