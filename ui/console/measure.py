#!/usr/bin/env python3
"""Figures for tollander-flash-console: start-up time to the first tick, CPU
time while idle at step 20 and during the 5000 ms pause after the main code,
resident memory. Runs a packed console flasher against tollander-vmodem.

usage: measure.py BIN_DIR FIRMWARE_DIR
  BIN_DIR: where tollander-flash-console, tollander-pack and tollander-vmodem are
  FIRMWARE_DIR: the output of tollander-mkfirmware (FLS0228.HEX, F2ZE0529.HEX, ALERT.WAV)
"""
import os
import subprocess
import sys
import tempfile
import time

def cpu_seconds(pid):
    # Nanosecond run time of every thread (schedstat); /proc/PID/stat counts
    # in 10 ms ticks, too coarse for an idle program.
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that just ended
    return total / 1e9


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    bin_dir, fw = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp()
    flasher = os.path.join(work, "flash-console")
    subprocess.run([os.path.join(bin_dir, "tollander-pack"), "-o", flasher,
                    "--program", os.path.join(bin_dir, "tollander-flash-console"),
                    "--boot", os.path.join(fw, "FLS0228.HEX"),
                    "--main", os.path.join(fw, "F2ZE0529.HEX"),
                    "--sound", os.path.join(fw, "ALERT.WAV"),
                    "--boot-model", "xx166301", "--main-model", "xx166301",
                    "--family", "Tollander", "--countries", "4,7,12"], check=True)
    modem = subprocess.Popen([os.path.join(bin_dir, "tollander-vmodem"), "--once"],
                             stdout=subprocess.PIPE, text=True)
    device = modem.stdout.readline().strip()
    env = dict(os.environ, TOLLANDER_COM1=device)
    for n in (2, 3, 4):
        env.pop(f"TOLLANDER_COM{n}", None)

    t0 = time.monotonic()
    app = subprocess.Popen([flasher], cwd=work, env=env, stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
    first = app.stdout.readline()
    startup = time.monotonic() - t0
    assert "initialized" in first, first

    # Step 20: the prompt on stderr means the sequencer is idle.
    while not app.stderr.readline().startswith(">"):
        pass
    rss_idle = rss_kib(app.pid)
    c0 = cpu_seconds(app.pid)
    time.sleep(10)
    idle_cpu = cpu_seconds(app.pid) - c0

    app.stdin.write("f\n")
    app.stdin.flush()
    verdicts = 0
    pause_cpu = None
    rss_peak = rss_idle
    for line in app.stdout:
        rss_peak = max(rss_peak, rss_kib(app.pid))
        if line.startswith(("Checking modem integrity", "Flash programming was not")):
            verdicts += 1
            if verdicts == 2:  # the main code's verdict: Pause(5000) follows
                c0 = cpu_seconds(app.pid)
                time.sleep(5)
                pause_cpu = cpu_seconds(app.pid) - c0
        if line.startswith("Complete."):
            break
    app.stdin.close()
    app.wait(timeout=60)
    modem.kill()
    modem.wait()

    print(f"start-up to the first tick (banner line): {startup * 1000:.0f} ms")
    print(f"CPU idle at step 20 for 10 s: {idle_cpu * 1000:.2f} ms")
    if pause_cpu is not None:
        print(f"CPU during the 5000 ms pause after the main code: {pause_cpu * 1000:.2f} ms")
    print(f"resident memory: {rss_idle} KiB idle at step 20, {rss_peak} KiB at most while flashing")
    print(f"exit status: {app.returncode}")


if __name__ == "__main__":
    main()
