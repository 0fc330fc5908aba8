"""Reads what Wine logged of one run: the calls a program's image made (Wine's
+pid,+relay,+loaddll log), the privilege changes the wineserver made and whether the
desktop window is made (its -d1 log)."""
import collections
import re


class Call(collections.namedtuple("Call", "name args result")):
    def __str__(self):
        return f"{self.name}({self.args})" + (f" = {self.result}" if self.result else "")


class LogError(Exception):
    pass


# Relay lines, with +pid: "0140:0144:Call advapi32.OpenProcessToken(ffffffff,...) ret=00401606"
RELAY = re.compile(r"([0-9a-f]+):([0-9a-f]+):(Call|Ret) +\w+\.(\w+)\((.*)\)"
                   r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
LOADED = re.compile(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" '
                    r'at ([0-9a-f]+): native')
# A string argument is shown as its address and its text; the text is what counts.
STRING_ARG = re.compile(r'[0-9a-f]{8,16} (L?"(?:[^"\\]|\\.)*")')
# The wineserver's trace of a privilege change (its request, then its reply by the
# same thread): what the token really got, and whether all of it was assigned.
ADJUST = re.compile(r"([0-9a-f]+): adjust_token_privileges\( handle=([0-9a-f]+), .*"
                    r"privileges=(\{.*\}) \)$")
ADJUSTED = re.compile(r"([0-9a-f]+): adjust_token_privileges\(\) = (\w+) ")


# The desktop window (class atom 0x8001) asked for by a thread, and the server's answer.
DESKTOP = re.compile(r"([0-9a-f]+): create_window\( parent=00000000, owner=00000000, atom=8001,")
CREATED = re.compile(r"([0-9a-f]+): create_window\(\) = 0 ")


def desktop_made(server_lines):
    """Whether the wineserver has made the desktop window."""
    asking = set()
    for line in server_lines:
        if m := DESKTOP.match(line):
            asking.add(m[1])
        elif (m := CREATED.match(line)) and m[1] in asking:
            return True
    return False


def adjustments(server_lines):
    """The privilege changes the wineserver made, by thread, as
    adjust_token_privileges(token,privileges) = status."""
    made, asked = collections.defaultdict(list), {}
    for line in server_lines:
        if m := ADJUST.match(line.rstrip("\n")):
            asked[m[1]] = f"{int(m[2], 16):08x},{m[3]}"
        elif (m := ADJUSTED.match(line)) and m[1] in asked:
            made[m[1]].append(Call("adjust_token_privileges", asked.pop(m[1]), m[2]))
    return made


def calls(lines, server_lines, name, size):
    """The calls made from the image of the program `name` (its file name, `size`
    bytes loaded), in order, with their results; the privilege change that an
    AdjustTokenPrivileges call made follows it."""
    made = adjustments(server_lines)
    pid = image = None
    found, pending, threads = [], {}, set()
    for line in lines:
        if pid is None:
            m = LOADED.match(line)
            if m and m[2].lower().endswith("\\" + name.lower()):
                pid, base = m[1], int(m[3], 16)
                image = range(base, base + size)
            continue
        m = RELAY.match(line.rstrip("\n"))
        if not m or m[1] != pid or int(m[7], 16) not in image:
            continue
        thread, key = m[2], (m[2], m[4], m[7])
        if m[3] == "Call":
            threads.add(thread)
            pending[key] = len(found)
            found.append(Call(m[4], STRING_ARG.sub(r"\1", m[5]), None))
            if m[4] == "AdjustTokenPrivileges" and made[thread]:
                found.append(made[thread].pop(0))
        elif key in pending:
            i = pending.pop(key)
            found[i] = found[i]._replace(result=m[6])
    if pid is None:
        raise LogError(f"Wine never loaded {name}")
    # A change that no call of the program's asked for shows at the end.
    return found + [call for thread in sorted(threads) for call in made[thread]]
