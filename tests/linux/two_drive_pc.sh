# The emulated PC of the Linux end-to-end tests, sourced with $work set: sysfs under $work
# (devices/ and block/) with sr0 a KMR-730T at 1:0:0:0 with sg0 and sr1 another maker's drive at
# 2:0:1:0 with sg1, and $work/machine.json, the SG_IO interposer's drives behind them.
drive() {
    local sr=$1 hctl=$2 vendor=$3 model=$4 sg=$5
    local dir="$work/devices/ata$sr/$hctl"
    mkdir -p "$dir/scsi_generic/sg$sg" "$work/block/sr$sr"
    echo 5 >"$dir/type"
    echo "$vendor" >"$dir/vendor"
    echo "$model" >"$dir/model"
    echo QM01 >"$dir/rev"
    ln -s "$dir" "$work/block/sr$sr/device"
}
drive 0 1:0:0:0 Korvane "DVDRW KMR-730T" 0
drive 1 2:0:1:0 OTHERCO "DVD-ROM 16X" 1
cat >"$work/machine.json" <<'JSON'
{
  "drives": [
    {"name": "E", "timings": {"powerOnReadySeconds": 0, "resetReadySeconds": 0}},
    {"name": "F", "model": "other", "vendor": "OTHERCO", "product": "DVD-ROM 16X"}
  ],
  "letters": [
    {"letter": "E", "drive": "E", "address": {"port": 1, "path": 0, "target": 0, "lun": 0}},
    {"letter": "F", "drive": "F", "address": {"port": 2, "path": 0, "target": 1, "lun": 0}}
  ]
}
JSON
