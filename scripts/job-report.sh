# Sourced by the job scripts: prints a run's log (Windows-1252, CR LF) as UTF-8 text, the exit
# status and what the simulated device saw.
#   job_report WORK_DIR STATUS
job_report() {
    echo "== run.log"
    iconv -f WINDOWS-1252 -t UTF-8 "$1/run.log" | tr -d '\r'
    echo "== exit status: $2 (0: download finally completed)"
    echo "== the device: $(grep -E '^(end|zeros|boot_images|blocks|received_bytes)=' "$1/device.txt" | tr '\n' ' ')"
}
