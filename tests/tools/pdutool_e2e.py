#!/usr/bin/env python3
"""End-to-end tests of pdutool's shell, scripts, signal handling, strict
options, params and decode-log (one day's folder of several sessions)
against the real vcisim and library."""

import json
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import (HEAD, RESOURCE, SESSION, Sim, check, env, on_own_sim, side_by_side, tool,  # noqa: E402
                 tool_on_sim, write)
import e2e_runner  # noqa: E402

# The default vcisim ECU answers 27 01 with the seed 11 22 33 44 and wants
# the key (seed rotl 3) XOR 0x5AA5C33C = D3 B4 59 1C.
KEYGEN = """import sys
s = int(sys.argv[1], 16)
print("%08X" % ((((s << 3) | (s >> 29)) & 0xFFFFFFFF) ^ 0x5AA5C33C))
"""

# The routine 31 01 FF 00 of an engine ECU: GONE answers "response pending",
# then nothing (the library waits 5 s for more); LATE its result 2 s later.
GONE = {"responses": ["7F 31 78"]}
LATE = {"pending": 1, "pending_interval_ms": 2000, "responses": ["71 01 FF 00"]}


def engine_flags(ctx, *rules):
    """vcisim's options for an engine ECU (0x7E0/0x7E8) answering by the rules."""
    ecu = {"name": "engine", "bus": "can", "behaviour": "uds", "request_id": "0x7E0", "response_id": "0x7E8",
           "requests": list(rules)}
    return ["--scenario", write(ctx, "engine.json", json.dumps({"name": "engine", "description": "an engine ECU",
                                                                "ecus": [ecu]}))]


def routine_flags(ctx, rule=GONE):
    return engine_flags(ctx, dict(rule, request="31 01 FF 00"))


def start_until(ctx, args, port, text, stream="stdout", logging=False, **popen):
    """pdutool started with args (and further Popen arguments), once it has
    printed text on stream: the process and what it printed there so far."""
    k = subprocess.Popen([os.path.join(ctx.bin, "pdutool")] + args, env=env(ctx, port, logging),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)
    seen = ""
    while text not in seen:
        line = getattr(k, stream).readline()
        check(line, "pdutool ended before %r:\n%s" % (text, seen))
        seen += line
    return k, seen


def on_sim(ctx, args, **kw):
    """tool() against a simulator of the default ECU, stopped after it."""
    with Sim(ctx) as sim:
        return tool(ctx, args, sim.link, **kw)


def case_script_seedkey(ctx):
    keygen = write(ctx, "keygen.py", KEYGEN)
    # Security access twice: built-in key, then an external program; back to
    # the default session at the end, locked again for the next run.
    script = write(ctx, "seedkey.pdu", "\n".join([
        "# a comment", "link %s --tx 0x7E0 --rx 0x7E8" % RESOURCE, "connect", "start",
        "send 22 F1 90", "expect 62 F1 90 ...", "send 22 $[1:3]", "expect 62 F1 90 57 44 44 ...",
        "send 27 01", "expect 67 01 11 22 33 44", "key rotl32 3 xor32 0x5AA5C33C", "send 27 02 $key", "expect 67 02",
        "send 10 01", "expect 50 01 ...", "send 27 01", "expect 67 01 .. .. .. ..",
        "echo seed $[2:]", "key-from %s %s" % (sys.executable, keygen), "send 27 02 $key", "expect 67 02", "send 10 01",
        "quit", ""]))
    with Sim(ctx) as sim, open(script) as f:
        p = tool(ctx, ["run", script], sim.link, status=0)
        piped = tool(ctx, ["shell"], sim.link, stdin=f.read(), status=0)  # the shell reads a pipe as a script
    # The built-in key, both keys sent and both unlocks answered positively,
    # the slice $[1:3] sent as 22 F1 90.
    # key-from echoes its command and the seed it gave it.
    check("$key = D3 B4 59 1C\n" in p.stdout and p.stdout.count("SENDRECV  27 02 D3 B4 59 1C") == 2 and
          "  $key = D3 B4 59 1C (from %s %s 11223344)\n" % (sys.executable, keygen) in p.stdout and
          p.stdout.count("expect 67 02: ok") == 2 == piped.stdout.count("expect 67 02: ok") and
          "SENDRECV  22 F1 90" in p.stdout.split("send 22 $[1:3]")[1],
          "seed/key:\n%s\npiped:\n%s" % (p.stdout, piped.stdout))
    check("SENDRECV request[10]=[E0 07 00 00 27 02 D3 B4 59 1C]" in sim.output(), "the key on the wire")


def case_script_exit_codes(ctx):
    # (script, exit status, text in the output); each failure stops the script there.
    table = [
        # Trailing comments after a space or a tab; echo keeps its #.
        (HEAD + "send 3E 00  # tester present\nexpect 7E 00\t# positive\necho step 2 # of 5\n", 0,
         "\nstep 2 # of 5\n"),
        (HEAD + "send 3E 00\nexpect 7E 01\nsend 22 F1 90\n", 1, "expect 7E 01: FAILED, the answer was 7E 00"),
        # Without a last "...", a longer answer does not match.
        (HEAD + "send 3E 00\nexpect 7E\nsend 22 F1 90\n", 1, "expect 7E: FAILED, the answer was 7E 00"),
        (HEAD + "send 3E 00\nexpect 7E ..\nfrobnicate\nsend 22 F1 90\n", 2, "unknown command frobnicate"),
        (HEAD + "send 3E 00\nsend 22 $[5:9]\n", 2, "$[5:9] is empty: the last answer has 2 byte(s)"),
        (HEAD + "set CP_P2Max=abc\n", 2, "CP_P2Max expects a number from 0 to 4294967295 (UNUM32)"),
        (HEAD + "send 22 F1 90\nkey xor32 1 seed $[3:5]\n", 2, "key: xor32 needs a seed of 4, 8, ... bytes"),
    ]
    runs = side_by_side(*[tool_on_sim(ctx, ["run"], script=text, status=want) for text, want, _ in table])
    for i, ((text, want, needle), p) in enumerate(zip(table, runs)):
        # It says so, stops there when it failed, and closes its link.
        check(needle in p.stdout and "link 1 closed" in p.stdout and
              (want == 0 or "send 22 F1 90\n  SENDRECV" not in p.stdout.split(needle)[1]),
              "script %d:\n%s" % (i, p.stdout))


def case_script_commands(ctx):
    # The shell's link and ComParam commands in one script; --time abs
    # prints wall-clock times.
    script = write(ctx, "cmds.pdu", "\n".join([
        "link %s --resp-id 0x7E8" % RESOURCE, "link RSC_ISO_14230_3_on_ISO_14230_2_7_15", "links", "use 1", "connect",
        "start", "send 3E 00", "expect 7E 00", "get CP_P2Max", "set CP_P2Max=60000", "update", "get CP_P2Max",
        "params", "ioctl vbatt", "ioctl ignition", "stop", "disconnect", "close", "links", ""]))
    p = on_sim(ctx, ["--time", "abs", "run", script], status=0)
    for needle in ("link 2: hCLL 2 on RSC_ISO_14230_3_on_ISO_14230_2_7_15 (resource id 1018)\n",
                   "  1  hCLL 1  RSC_ISO_15765_3_on_ISO_15765_2_6_14\n* 2  hCLL 2  RSC_ISO_14230_3_on_ISO_14230_2_7_15\n",
                   "expect 7E 00: ok", "CP_P2Max = 50000\n", "  UPDATEPARAM", "CP_P2Max = 60000\n",
                   "battery voltage: 12600 mV (12.60 V)\n", "ignition: on (1)\n", "  STOPCOMM", "link: PDU_CLLST_OFFLINE",
                   "link 1 closed\n", "* 1  hCLL 2  RSC_ISO_14230_3_on_ISO_14230_2_7_15\n"):
        check(needle in p.stdout, "the script printed %r:\n%s" % (needle, p.stdout))
    check(re.search(r"CP_P2Max +60000 +UNUM32 +TIMING +50000\n", p.stdout), "params: value and default")
    check(re.search(r"\n    \d\d:\d\d:\d\d\.\d{3}  RESULT  uid 1   7E 00   \"~\.\"\n", p.stdout), "wall-clock times:\n" + p.stdout)


def case_signal_stop(ctx):
    side_by_side(on_own_sim(ctx, None, sigint_cleans_up), on_own_sim(ctx, None, key_from_ctrl_c),
                 on_own_sim(ctx, None, second_sigint, routine_flags(ctx)))


def sigint_cleans_up(ctx, sim):
    """SIGINT in the middle of a session: the link is stopped, disconnected
    and destroyed and the VCI closed, as the simulator's trace shows."""
    p, _ = start_until(ctx, SESSION + ["3E00"] * 300, sim.link, "SENDRECV")
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    # Exit status 130, the transcript says why, the remaining requests were not sent.
    check(p.returncode == 130 and "stopping (signal)" in out and out.count("SENDRECV") < 300,
          "exit %d after SIGINT\n%s%s" % (p.returncode, out[-2000:], err))
    trace = sim.wait_for("CLOSE")  # the trace may lag behind pdutool's exit
    rest = trace[trace.rfind("STOPCOMM"):]
    check("STOPCOMM" in rest and "PC->VCI veh  #" in rest and "MODULE_DISCONNECT" in rest and
          re.search("DISCONNECT_LINK.*DESTROY_LINK.*CLOSE", rest, re.S), "in order after the STOPCOMM:\n" + rest)


def second_sigint(ctx, sim):
    """A second signal ends the process at once, even while a request waits
    for an ECU that answered "response pending"."""
    p, _ = start_until(ctx, SESSION + ["31 01 FF 00"], sim.link, "SENDRECV")
    p.send_signal(signal.SIGINT)
    time.sleep(0.2)
    start = time.monotonic()
    p.send_signal(signal.SIGINT)
    p.communicate(timeout=10)
    check(p.returncode == 130 and time.monotonic() - start < 1.0, "exit %d, not 130 at once" % p.returncode)


def key_from_ctrl_c(ctx, sim):
    """Ctrl-C while a key-from program runs: the terminal signals the whole
    process group, the program dies of SIGINT and the script stops with 130."""
    script = write(ctx, "slowkey.pdu", HEAD + "send 27 01\n"
                   "key-from sh -c \"echo keygen waiting >&2; exec sleep 60\"  # never prints a key\nsend 3E 00\n")
    k, _ = start_until(ctx, ["run", script], sim.link, "keygen waiting", "stderr", start_new_session=True)
    os.killpg(k.pid, signal.SIGINT)
    out, err = k.communicate(timeout=30)
    check(k.returncode == 130 and "key-from: sh interrupted" in out and "exit status -1" not in out and
          "\nscript stopped at line 5 (exit status 130)\n" in out and "> send 3E 00" not in out,
          "exit %d, expected 130\n%s%s" % (k.returncode, out, err))


def case_strict_parsing(ctx):
    raw = "RSC_ISO_11898_RAW_6_14"
    broken = write(ctx, "broken.xml", "<MDF><RESOURCE>\n")
    latin1 = os.path.join(ctx.tmp, "root.xml")
    with open(latin1, "wb") as f:
        f.write(b"<MVCI_PDU_API_ROOT><MVCI_PDU_API><SHORT_NAME>X</SHORT_NAME><DESCRIPTION>f\xfcr</DESCRIPTION>"
                b"<LIBRARY_FILE URI=\"file:///x.so\"/></MVCI_PDU_API></MVCI_PDU_API_ROOT>\n")
    table = [
        (["session", "--resource", raw, "--cycles", "-1", "10070000021003"], 2,
         "--cycles -1 on a raw CAN resource never ends on a busy bus; use pdutool monitor --listen ID#DATA"),
        (["scan", "--resource", raw], 2, "give a diagnostic resource (e.g. RSC_ISO_15765_3_on_ISO_15765_2_6_14)"),
        (["scan", "--resource", "RSC_ISO_14230_3_on_ISO_14230_2_7_15"], 2,
         "scan on an address-based resource needs --range FIRST-LAST"),
        (["session", "--resource", RESOURCE, "--mdf", broken, "22"], 6, "MDF.xml cannot be loaded: "),
        (["--json", "--root-file", latin1, "--root"], 0, "f\ufffdr"),
        (["--wait", "abc", "info"], 2, "--wait: not a duration (2000, 2000ms or 2s): abc"),
        (["session", "--resource", RESOURCE, "--cycles", "x", "22"], 2, "--cycles: not a number: x"),
        (["session", "--resource", RESOURCE, "--tx", "0x7G0", "22"], 2, "--tx: not a number: 0x7G0"),
        (["session", "--resource", RESOURCE, "--param", "CP_Nope=1", "22"], 2, "unknown ComParam CP_Nope"),
        (["session", "--resource", RESOURCE, "--param", "CP_P2Max=fast", "22"], 2,
         "CP_P2Max expects a number from 0 to 4294967295 (UNUM32), got \"fast\""),
        (["session", "--resource", RESOURCE, "--param", "CP_TesterPresentMessage=3G", "22"], 2,
         "CP_TesterPresentMessage expects hex bytes"),
        (["--root", "info"], 2, "--root lists the APIs; to load one: --root NAME COMMAND"),
        (["--lib", "libz.so.1", "info"], 3, "not a D-PDU API library"),
        (["--json", "--lib", "/nonexistent/libx.so", "info"], 3, '"ok": false'),
        (["session", "22F190"], 2, "session needs --resource"), (["--time", "later", "info"], 2, "--time: abs or rel"),
        (["session", "--resource", "X", "2G"], 2, "request is not hex: 2G"), (["--version"], 0, "pdutool "),
        (["--help"], 0, "--callback"), (["session", "--help"], 0, "--startcomm-data HEX"),
        (["ioctl", "--help"], 0, "ioctl vbatt|ignition"), (["decode-log", "-h"], 0, "decode-log DIR|FILE"),
        (["doctor", "--help"], 0, "doctor  "), (["params", "--resource", "RSC_NOPE"], 2, "no resource RSC_NOPE"),
        (["params", "--resource", RESOURCE], 0,
         "\n  CP_P2Max                             1  UNUM32     TIMING         50000\n"),
        # Candump log files under a name python-can takes for another format.
        (["session", "--resource", RESOURCE, "--trace", "x.asc", "22"], 2,
         "--trace x.asc: pdutool writes candump log format, and python-can's can.LogReader reads a .asc file "
         "as another one; name it x.log"),
        (["run", "s.pdu", "--trace", "/tmp/T.BLF"], 2, "--trace /tmp/T.BLF: pdutool writes candump log format, and "
         "python-can's can.LogReader reads a .blf file as another one; name it T.log"),
        (["monitor", "--log", "bus.trc"], 2, "--log bus.trc: pdutool writes candump log format"),
        (["run", "s.pdu", "--trace", "/nonexistent/dir/t.log"], 2, "--trace: cannot write /nonexistent/dir/t.log: "),
    ]
    # --wait with a unit: 1s is a thousand milliseconds (the routine answers after 2 s).
    wait_1s = tool_on_sim(ctx, ["--json", "--wait", "1s"] + SESSION + ["31 01 FF 00"], routine_flags(ctx, LATE))

    # Four of the table's runs at a time: the cases beside this one talk to
    # simulators with 100 ms answer timeouts.
    p, *runs = side_by_side(wait_1s, *[lambda a=args, w=want: tool(ctx, a, status=w) for args, want, _ in table],
                            jobs=5)
    for (args, want, needle), q in zip(table, runs):  # --lib libz.so.1: one error line
        check(needle in q.stdout + q.stderr and (args != ["--lib", "libz.so.1", "info"] or
                                                 len(q.stderr.strip().splitlines()) == 1),
              "%s says %r:\n%s%s" % (args, needle, q.stdout, q.stderr))
    prim = [x for x in json.loads(p.stdout)["primitives"] if x["type"] == "SENDRECV"][0]
    check(prim["status"] == "TIMEOUT" and 950 <= prim["elapsed_ms"] < 1900,
          "timed out after about 1000 ms: %s %s" % (prim["status"], prim["elapsed_ms"]))


def case_ioctl_failed(ctx):
    # No VCI; one that stops answering after PROBE, OPEN and MODULE_CONNECT,
    # text and JSON (a VCI that answers: e2e.py's scenario cases).
    silent = ["--silent-after", "3"]
    none, text, js = side_by_side(lambda: tool(ctx, ["ioctl", "vbatt"], status=1),
                                  tool_on_sim(ctx, ["ioctl", "vbatt"], silent, status=1),
                                  tool_on_sim(ctx, ["--json", "ioctl", "vbatt"], silent, status=1))
    # No VCI: pdutool stops at once with the doctor's findings on stderr, and no reading is printed.
    check("no VCI found" in none.stdout + none.stderr and "what pdutool doctor sees" in none.stderr and
          "result: no VCI answered" in none.stderr and "result:" not in none.stdout and
          "battery voltage" not in none.stdout, "no VCI:\n%s%s" % (none.stdout, none.stderr))
    # The VCI gone silent: FAILED with the status name, no value.
    doc = json.loads(js.stdout)
    check(doc["ok"] is False and doc["value"] is None and "unit" not in doc and doc["status"].startswith("PDU_ERR_"),
          "JSON value null, status named: %r" % doc)
    check("PDU_IOCTL_READ_VBATT: FAILED: PDU_ERR_" in text.stdout and "battery voltage" not in text.stdout,
          "FAILED with the status name, no value:\n" + text.stdout)


def case_no_response(ctx):
    # "Response pending", then nothing until the library gives up (about
    # 5 s): no response, exit status 1, in a session's JSON and a script's transcript.
    gone = routine_flags(ctx)
    pj, s = side_by_side(tool_on_sim(ctx, ["--json"] + SESSION + ["31 01 FF 00", "3E 00"], gone, status=1),
                         tool_on_sim(ctx, ["run"], gone, script=HEAD + "send 31 01 FF 00\nexpect 71 01 FF 00\n",
                                     status=1))
    doc = json.loads(pj.stdout)
    statuses = [(x["type"], x["status"]) for x in doc["primitives"]]
    check(statuses == [("STARTCOMM", "FINISHED"), ("SENDRECV", "NO_RESPONSE"), ("SENDRECV", "FINISHED"),
                       ("STOPCOMM", "FINISHED")] and doc["ok"] is False and
          doc["error"] == "1 request(s) got no response", "JSON: %r %r" % (statuses, doc.get("error")))
    # The transcript says no response, and the script stops there.
    check("  SENDRECV  31 01 FF 00\n" in s.stdout and "    no response\n" in s.stdout and
          "script stopped at line 4 (exit status 1)" in s.stdout and "> expect" not in s.stdout, s.stdout)


def case_params(ctx):
    # The text table and an unknown resource: case_strict_parsing's table.
    doc = json.loads(tool(ctx, ["--json", "params", "--resource", RESOURCE], status=0).stdout)
    got = [doc["resource"]] + [x for x in doc["params"] if x["name"] in (
        "CP_P2Max", "CP_CanRespUSDTId", "CP_RequestAddrMode", "CP_Baudrate")]  # bus type ComParams too
    check(got == [{"busType": "ISO_11898_2_DWCAN", "id": 1001, "name": RESOURCE,
                   "protocol": "ISO_15765_3_on_ISO_15765_2"},
                  {"name": "CP_P2Max", "id": 1, "default": "50000", "type": "PDU_PT_UNUM32", "class": "TIMING"},
                  {"name": "CP_RequestAddrMode", "id": 26, "default": "1", "type": "PDU_PT_UNUM32", "class": "COM"},
                  {"name": "CP_CanRespUSDTId", "id": 64, "default": "2024", "type": "PDU_PT_UNUM32",
                   "class": "UNIQUE_ID"},
                  {"name": "CP_Baudrate", "id": 110, "default": "500000", "type": "PDU_PT_UNUM32",
                   "class": "BUSTYPE"}], "params: %r" % got)


def case_decode_log(ctx):
    folder = os.path.join(ctx.tmp, "logs", "J2534", "7318")
    os.makedirs(folder)
    # --follow from before the session's first line until Ctrl-C, with no
    # pause: on Ctrl-C it reads what the files hold before it ends.
    follow = subprocess.Popen([os.path.join(ctx.bin, "pdutool"), "decode-log", "--follow", folder],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    on_sim(ctx, SESSION + ["22F190", "27 01"], logging=True, status=0)
    follow.send_signal(signal.SIGINT)
    followed, _ = follow.communicate(timeout=10)
    check(follow.returncode == 0, "decode-log --follow ends on SIGINT: %d" % follow.returncode)
    main = [f for f in os.listdir(folder) if re.fullmatch(r"\d{4}-\d\d-\d\d\.txt", f)]
    check(len(main) == 1, "one main log: %r" % os.listdir(folder))
    # The calls as the main log writes them ("PDUName <tick>").
    with open(os.path.join(folder, main[0]), errors="replace") as f:
        calls = re.findall(r"^(PDU[A-Za-z]+) \d+$", f.read(), re.M)
    check(len(calls) > 20 and calls[0] == "PDUConstruct" and calls[-1] == "PDUDestruct", "calls: %r" % calls[:5])
    texts = {"--follow": followed, **{t: tool(ctx, ["decode-log", t], status=0).stdout
                                      for t in (os.path.join(ctx.tmp, "logs"), os.path.join(folder, main[0]))}}
    for target, text in texts.items():
        decoded = re.findall(r"^\d\d:\d\d:\d\d\.\d{3}  (PDU[A-Za-z]+)", text, re.M)
        check(decoded == calls, "%s: every call in order:\n%r\n%r" % (target, decoded, calls))
        for needle in ("PDUConstruct -> PDU_STATUS_NOERROR",
                       "PDUStartComPrimitive hCLL=1 CoPType=PDU_COPT_SENDRECV data=[22 F1 90]",
                       "PC->VCI veh", "COP                      hMod=1 hCLL=1 SENDRECV request[7]=[E0 07 00 00 22 F1 90]",
                       "VEHICLE_DATA", "[E8 07 00 00 67 01 11 22 33 44]", "STOPCOMM", "CLOSE answer",
                       "event >>>[1  2] status = result", "PDU_ERR_EVENT_QUEUE_EMPTY"):
            check(needle in text, "decode-log shows %r:\n%s" % (needle, text[:3000]))
        check(text.count("SENDRECV request[7]=[E0 07 00 00 22 F1 90]") == 1 and
              text.count("SET_LINK_RESOURCE  ") <= 1, "each frame once")
    # Three more sessions in the day's folder: a client killed while its
    # request waited ("response pending"), a failed port search and a
    # normal one again.
    with Sim(ctx, None, routine_flags(ctx)) as sim:
        k, _ = start_until(ctx, SESSION + ["31 01 FF 00"], sim.link, "SENDRECV  31 01 FF 00", logging=True)
        check("7F 31 78]" in sim.wait_for("7F 31 78]"), "the ECU answered \"response pending\"")
        k.send_signal(signal.SIGKILL)
        k.communicate(timeout=10)
    tool(ctx, ["session", "--resource", RESOURCE, "3E00"], "/nonexistent/vci", logging=True, status=1)
    on_sim(ctx, SESSION + ["3E00"], logging=True, status=0)

    doc = json.loads(tool(ctx, ["--json", "decode-log", folder], status=0).stdout)
    # (number, VCI found, PDUDestruct, two processes): session 3 found no VCI,
    # the killed client's (2) has no PDUDestruct and its open request named;
    # requests: STARTCOMM, SENDRECVs, STOPCOMM.
    sessions = doc["sessions"]
    check([(s["number"], s["vciFound"], s["destructed"], s["twoProcesses"]) for s in sessions] ==
          [(1, True, True, False), (2, True, False, False), (3, False, True, False), (4, True, True, False)] and
          "data=[31 01 FF 00]" in sessions[1]["openRequest"] and (sessions[0]["port"] or "").endswith("vci") and
          (sessions[0]["requests"], sessions[3]["requests"]) == (4, 3), "sessions: %r" % sessions)
    # --json after the command, and --json-lines: the same sessions.
    after = json.loads(tool(ctx, ["decode-log", folder, "--json"], status=0).stdout)
    lines = [json.loads(x) for x in tool(ctx, ["decode-log", folder, "--json-lines"], status=0).stdout.splitlines()]
    check(after == doc and [x["session"] for x in lines if x.get("kind") == "sessionInfo"] == sessions and
          [x for x in lines if "text" in x] == doc["entries"] and lines[-1]["lines"] == doc["lines"],
          "--json-lines: %r" % lines[-3:])
    # Every line of the three files accounted for.
    counts = {re.sub(r".*\d_(data|contact)\.txt$|.*\d\.txt$", lambda m: m[1] or "main", name):
              open(os.path.join(folder, name), "rb").read().count(b"\n") for name in os.listdir(folder)}
    lines = doc["lines"]  # each decoded, verbatim or folded
    check({k: lines[k] for k in ("main", "data", "contact")} == counts and
          lines["decoded"] + lines["verbatim"] + lines["folded"] == sum(counts.values()), "%r %r" % (lines, counts))
    # Pairs: the data line under a PDUGetEventItem call names its item. In
    # session 1 only: SIGKILL cuts each of the killed client's three files
    # where its own buffer ended, and the data log's lines carry no tick, so
    # an item call of session 2 whose data line was lost can take a line of a
    # later session (docs/pdutool.md).
    entries = [x for x in doc["entries"] if x["session"] == 1]
    events = [(i, e["text"]) for i, e in enumerate(entries) if e["kind"] == "event"]
    for i, event in events:
        call = next(x for x in reversed(entries[:i]) if x["kind"] == "call")["text"]
        m = re.search(r"\[(\d+) +(\d+)\] status = (\S+)", event)
        item = m and {"result": "ItemType=PDU_IT_RESULT", "error": "ItemType=PDU_IT_ERROR"}.get(m[3], m[3])
        check(m and "PDUGetEventItem" in call and "hCLL=%s" % m[1] in call and item in call,
              "an event under its item call (same link, same item): %r / %r" % (call, event))
    calls = [e for e in entries if e["kind"] == "call" and "PDUGetEventItem" in e["text"] and
             "-> PDU_STATUS_NOERROR" in e["text"]]
    check(len(events) >= len(calls) and len(events) > 10,
          "%d pairs for %d items handed out" % (len(events), len(calls)))

    # The files last written at 23:59:58 today: the log's times of day lie
    # just before, whatever the clock says now.
    late = time.mktime(time.localtime()[:3] + (23, 59, 58, 0, 0, -1))
    for name in os.listdir(folder):
        os.utime(os.path.join(folder, name), (late, late))
    for args, status, stream, shown, hidden in [  # texts the stream must and must not hold
        ([folder], 0, "stdout", ["== session 1, ", "== session 4: ", "| Can't find comm", "VCI port none found",
                                 "(no end in the log)", ". receive path: ", "it ended without PDUDestruct"],
         ["| recv end", "| reg = 0"]),
        (["--session", "3", folder], 0, "stdout", ["== session 3"], ["== session 1", "session 4"]),
        (["--session", "9", folder], 2, "stderr", ["no session 9: the log holds 4 session(s)"], []),
        # --since leaves out the headers and summaries of the sessions before it too.
        (["--since", "23:58:00", folder], 0, "stdout", ["PDUConstruct ->", "== session 1, ", "== session 4: "], []),
        (["--since", "23:59:59", folder], 0, "stdout", [], ["PDUConstruct ->", "== session"]),
        ([os.path.join(ctx.tmp, "nothing")], 2, "stderr", ["no such file or folder"], []),
    ]:
        text = getattr(tool(ctx, ["decode-log"] + args, status=status), stream)
        check(all(t in text for t in shown) and not any(t in text for t in hidden),
              "decode-log %s: %r, not %r:\n%s" % (" ".join(args), shown, hidden, text[-3000:]))
    link2 = tool(ctx, ["decode-log", "--link", "2", folder]).stdout
    check("hCLL=1 " not in "\n".join(x for x in link2.splitlines() if not x.startswith("== session")),
          "--link 2 has no calls of link 1 (a summary may name a killed client's request)")
    # A line that is no UTF-8 (a log from a system writing another code
    # page): passed through, and --json still prints its document.
    with open(os.path.join(folder, main[0]), "ab") as f:
        f.write(b"\xd5\xd2\xb2\xbb\xb5\xbd note\n")
    doc = json.loads(tool(ctx, ["--json", "decode-log", folder], status=0).stdout)
    check(any(e["text"].endswith("\ufffd note") for e in doc["entries"]), "the line, its bytes replaced")


if __name__ == "__main__":
    sys.exit(e2e_runner.main(globals()))
