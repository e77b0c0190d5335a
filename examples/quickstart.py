"""A short tour of halvorn: a file system in memory, and a terminal on it."""

import halvorn

fs = halvorn.PyFs()
fs.mkdir("/docs")
fs.mkdir("/docs/drafts")

handle = fs.open("/docs/hello.txt", "w")  # created on open
handle.write(b"Hello from memory\n")
handle.close()

handle = fs.open("/docs/hello.txt", "r")
data = handle.read(1024)  # reports "Read 18 bytes from file" on standard output
handle.close()
print("contents:", data)

print("listdir:", fs.listdir("/docs"))
print("tree:")
print(fs.tree("/", "  "), end="")

term = halvorn.PyTerm(fs)
term.exec("cd docs")
print("pwd:", term.exec("pwd"))
print("cat:", term.exec("cat hello.txt"), end="")
try:
    term.exec("cat missing.txt")
except ValueError as error:
    print("error:", error)
