#!/usr/bin/env python3
"""Every resource of data/MDF.xml end to end (vcisim, pdutool, the library):
one row per resource (see row()), each a pdutool session on a vcisim of the
row's scenario. The pending and busy answers do not reach the application;
the simulator's trace shows that they were sent. Without RESOURCE on the
command line: every resource, and the case "rows" fails when one has none.
"""

import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import Sim, check, norm, sent  # noqa: E402
import e2e_runner  # noqa: E402

def row(scenario, send, pending=None, busy=None, start=(), stop=(), args=()):
    """A resource's scenario, (request, answer)s: plain, after 7F xx 78 and
    after 7F xx 21 (None: no such exchange in the family), the results of
    STARTCOMM and STOPCOMM, further session arguments."""
    return dict(scenario=scenario, send=send, pending=pending, busy=busy, start=list(start), stop=list(stop),
                args=list(args))


CAN = row("demo", ("22 F1 90", "62 F1 90 57 44 45 4D 4F 37 33 31 38 53 49 4D 30 30 30 34 32"),
          ("22 F1 98", "62 F1 98 07 31 08"), ("22 F1 99", "62 F1 99 20 26 11 01"), args=["--resp-id", "0x7E8"])
KWP_KLINE = row("kline", ("1A 9B", "5A 9B 30 33 37 39 30 36 30 32 34 41 47"), ("21 02", "61 02 11 22"),
                ("21 03", "61 03 33 44"), start=["C1 EF 8F"], stop=["C2"])
OBD_KLINE = row("kline", ("01 00", "41 00 BE 3F B8 13"), ("01 0C", "41 0C 0B B8"), ("01 0D", "41 0D 3C"),
                start=["C1 E9 8F"], stop=["C2"])
OBD_9141 = row("iso9141", ("01 00", "48 6B 10 41 00 BE 3F B8 13"), ("01 0C", "48 6B 10 41 0C 0B B8"),
               ("01 0D", "48 6B 10 41 0D 3C"), start=["55 08 08"])
KW1281_9141 = row("iso9141", ("00", "F6 30 33 30 39 30 36 30 33 32 45"), start=["55 01 8A"])
TP_OPEN, TP_CLOSE = ["00 D0 40 07 00 03 01"], ["A8"]


def j1850(header):
    return row("j1850", ("01 00", header + " 41 00 BE 3F B8 13"), ("01 0C", header + " 41 0C 0F A0"),
               ("01 0D", header + " 41 0D 28"))


ROWS = {
    **dict.fromkeys(["RSC_ISO_15765_3_on_ISO_15765_2_6_14", "RSC_ISO_14230_3_on_ISO_15765_2_6_14",
                     "RSC_SAE_J2190_on_ISO_15765_2_6_14", "RSC_ISO_15031_5_on_ISO_15765_4_6_14",
                     "RSC_ISO_OBD_on_ISO_15765_4_6_14", "RSC_ISO_15765_3_on_ISO_15765_2_3_11",
                     "RSC_ISO_15765_3_on_ISO_15765_2_1", "RSC_ISO_15765_3_on_ISO_15765_2_1_9"], CAN),
    "RSC_ISO_11898_RAW_6_14": row("rawcan", ("10 07 00 00 02 10 03", "18 07 00 00 06 50 03 00 32 01 F4 AA")),
    "RSC_MSP_VW2000LP_on_TP20_6_14": row("tp20", ("1A 9B", "5A 9B 30 33 4C 39 30 36 30 31 38"),
                                         ("21 05", "61 05 0A 0B"), ("21 06", "61 06 0C 0D"), TP_OPEN, TP_CLOSE),
    "RSC_MSP_VW2000LP_on_TP16_6_14": row("tp16", ("1A 9B", "5A 9B 30 33 38 39 30 36 30 31 39"),
                                         ("21 02", "61 02 55 66"), ("21 03", "61 03 77 88"), TP_OPEN, TP_CLOSE),
    "RSC_MSP_KW1281_on_TP16_6_14": row("tp16", ("29 01", "E7 01 C8 1A 05 0A 80 07 14 32 11 64 3C"), start=TP_OPEN,
                                       stop=TP_CLOSE),
    "RSC_SAE_J1939_73_on_SAE_J1939_21_6_14": row("j1939", ("F9 00 EA 98 CA FE 00",
                                                           "00 CA FE 98 04 FF 6E 00 00 01 FF FF")),
    **dict.fromkeys(["RSC_ISO_14230_3_on_ISO_14230_2_7", "RSC_SAE_J2190_on_ISO_14230_2_7",
                     "RSC_ISO_14230_3_on_ISO_14230_2_7_15"], KWP_KLINE),
    **dict.fromkeys(["RSC_ISO_15031_5_on_ISO_14230_4_7", "RSC_ISO_OBD_on_K_Line_7", "RSC_ISO_OBD_on_K_Line_7_15"],
                    OBD_KLINE),
    "RSC_MSP_VW2000LP_on_ISO_14230_2_7": dict(
        KWP_KLINE, send=("1A 9B", "5A 9B 30 36 41 39 30 36 30 33 32 48 4E"),
        pending=("21 02", "61 02 01 02"), busy=("21 03", "61 03 03 04")),
    **dict.fromkeys(["RSC_SAE_J2190_on_ISO_9141_7", "RSC_SAE_J2190_on_ISO_9141_2_7"],
                    dict(OBD_9141, send=("22 11 01", "48 6B 10 62 11 01 55"))),
    **dict.fromkeys(["RSC_ISO_15031_5_on_ISO_9141_2_7", "RSC_ISO_15031_5_on_ISO_9141_2_7_15"], OBD_9141),
    "RSC_MSP_KW1281_on_ISO_9141_2_7": dict(KW1281_9141, send=("07", "FC 02 03 23")),
    **dict.fromkeys(["RSC_KW81_on_KW_UART_7", "RSC_KW82_on_KW_UART_7", "RSC_KW71_on_KW_UART_7_15"], KW1281_9141),
    "RSC_SAE_J2190_on_SAE_J1850_VPW_2_10": dict(j1850("48 6B 10"), send=("22 12 34", "48 6B 10 62 12 34 0A 0B")),
    "RSC_ISO_15031_5_on_SAE_J1850_VPW_2_10": j1850("48 6B 10"),
    "RSC_SAE_J2190_on_SAE_J1850_PWM_2_10": dict(j1850("41 6B 10"), send=("22 12 34", "41 6B 10 62 12 34 0A 0B")),
    "RSC_ISO_OBD_on_SAE_J1850_2_10": j1850("41 6B 10"),
    "RSC_SAE_J1587_on_SAE_J1708_12_13": row("j1708", ("AC 00 BE", "80 BE 40 1F")),
    "RSC_SAE_J2610_on_SAE_J2610_SCI_7_12": row("sci", ("28 47", "28 47 12")),
}


def mdf_resources(data):
    """The resource short names of the module description, in file order."""
    return [r.findtext("SHORT_NAME") for r in ET.parse(os.path.join(data, "MDF.xml")).getroot().findall("RESOURCE")]


def run_row(ctx, resource):
    row = ROWS[resource]
    with Sim(ctx, row["scenario"]) as sim:
        exchanges = [row["send"]] + [row[k] for k in ("pending", "busy") if row.get(k)]
        args = ["session", "--resource", resource] + row["args"] + [req for req, _ in exchanges]
        rc, out, err = ctx.pdutool(args, sim.link, timeout=60)
    check(rc == 0 and out.get("ok"), "exit %d ok=%s failures=%s\n%s" % (rc, out.get("ok"), out.get("failures"), err))
    prims = out["primitives"]
    check([p["type"] for p in prims] == ["STARTCOMM"] + ["SENDRECV"] * len(exchanges) + ["STOPCOMM"],
          "ComPrimitives %s" % [p["type"] for p in prims])
    check(all(p["status"] == "FINISHED" and not p["errors"] for p in prims), "every ComPrimitive finished")
    check([e["status"] for e in out["linkEvents"]] == ["PDU_CLLST_ONLINE", "PDU_CLLST_COMM_STARTED",
                                                       "PDU_CLLST_OFFLINE"], "link states %s" % out["linkEvents"])
    # STARTCOMM, each request, STOPCOMM: their exact results.
    want = [row["start"]] + [[answer] for _, answer in exchanges] + [row["stop"]]
    got = [[r["data"] for r in p["results"]] for p in prims]
    check(got == [[norm(h) for h in w] for w in want], "results: got %s, want %s" % (got, want))
    trace = sim.output()
    for kind, code in (("pending", "78"), ("busy", "21")):
        if row.get(kind):
            sid = row[kind][0].split()[0]
            check(("7F %s %s]" % (sid, code)) in trace, "the trace shows the %s answer 7F %s %s" % (kind, sid, code))
    if row.get("busy"):  # the library sent the busy request twice
        check(len(sent(trace, " COP ", norm(row["busy"][0]))) == 2, "busy request not sent twice:\n" + trace[-3000:])


def case_rows(ctx):
    missing = [r for r in mdf_resources(ctx.data) if r not in ROWS]
    check(not missing, "no table row for %s" % ", ".join(missing))


CASES = dict({r: (lambda ctx, r=r: run_row(ctx, r)) for r in ROWS}, rows=case_rows)


if __name__ == "__main__":
    sys.exit(e2e_runner.main(CASES, jobs=6,
                             default=lambda a: ["rows"] + [r for r in mdf_resources(a.data) if r in ROWS]))
