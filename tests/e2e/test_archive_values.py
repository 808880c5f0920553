"""Archived values as the device sent them: float registers and scaled values read from a
pymodbus peer, archived by the polling run, and shown by the grid and the CSV file."""

import json

from archive_support import SUCCESS
from korvalen import wait_until
from peers import tcp_peer
from test_archive import csv

# regAddr, regType, regSize, valSize, the words from regAddr on, the value shown. A single is
# shown as the shortest decimal that reads back as it (49.95, not the 49.95000076293945 it widens
# to); integers and values divided in double precision as they are.
REGISTERS = [
    (1100, 2, 16, 32, "4247CCCD", "49.95"),           # float, first word high
    (1102, 3, 16, 32, "CCCD4247", "49.95"),           # float, first word low
    (1104, 2, 16, 32, "C247CCCD", "-49.95"),
    (1106, 2, 16, 32, "3DCCCCCD", "0.1"),
    (1108, 2, 16, 32, "33D6BF95", "1e-07"),
    (1110, 2, 16, 32, "7F7FFFFF", "3.4028235e+38"),   # the largest single
    (1112, 2, 16, 32, "43668000", "230.5"),
    (1114, 15, 16, 32, "00001383", "49.95"),          # 4995 by the device's decimal 2, a single
    (1116, 6, 16, 32, "00001383", "49.95"),           # 4995 / 100 in double precision
    (1118, 1, 16, 32, "40000000", "1073741824"),      # an integer that is a single too
    (1120, 8, 16, 32, "075BCD15", "123456789"),
]


def configure(program, port):
    """One device of 2 decimal places with one read of one value per register, each archived
    every second."""
    assert program.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(port), timeout="3000") == SUCCESS
    conn = json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
    iterations = [{"regAddr": a, "valuesCnt": 1, "regType": t, "regSize": rs, "valSize": vs,
                   "ModbusReadFunction": 3} for a, t, rs, vs, _, _ in REGISTERS]
    params = [{"regAddr": a, "unit": "", "archInterval": 1} for a, *_ in REGISTERS]
    assert program.api("cfg_addNewDevice", name="meter", ModbusId="1", connectionType="tcp", decimal="2",
                       idOfConnection=str(conn), isActive="1", readIterations=json.dumps(iterations),
                       parameters=json.dumps(params)) == SUCCESS
    ids = {int(p["regAddr"]): p["idParameters"] for p in json.loads(program.api("cfg_getDevCfg"))["parameters"]}
    return [ids[a] for a, *_ in REGISTERS]


def test_floats_are_archived_and_shown_as_the_device_sent_them(program):
    peer = tcp_peer(extra=["--words=" + ",".join(f"{a}:{words}" for a, _, _, _, words, _ in REGISTERS)])
    try:
        ids = configure(program, peer.port)
        assert program.api("startPolling") == SUCCESS
        wait_until(lambda: program.query(
            "SELECT COUNT(DISTINCT idParameter) FROM ArchiveData WHERE flag = 0")[0][0] == len(ids))
        assert program.api("stopPolling") == SUCCESS
        wait_until(lambda: program.api("getAppState") == '{"state":"idle"}')
    finally:
        peer.stop()

    expected = [shown for *_, shown in REGISTERS]
    grid = [json.loads(program.api("getArchGridData", paramListStr=f"[{i}]"))["Rows"] for i in ids]
    assert [next(r[i] for r in rows if r[i + "_flag"] == "0") for i, rows in zip(ids, grid)] == expected

    lines = csv(program, paramListStr="[" + ",".join(ids) + "]", colSep=";", decSep=".").decode().split("\r\n")
    cells = [line.split(";")[1:] for line in lines[1:] if line]
    # The stop may end a cycle before all its reads: a cell of it may be empty, none other.
    assert expected in cells
    assert all(c in ("", e) for row in cells for c, e in zip(row, expected)), cells
