# Shell functions over the test-image generator and the peers that read disc images; sourced
# by the host peer check and by the Wine tests of layout drives. POSIX sh.

# make_test_iso DIR: writes DIR/source.iso, a small ISO 9660 + Joliet volume (about 650 KiB)
# with the same bytes on every run, and prints its path.
make_test_iso() {
  mkdir -p "$1/iso-source/文件夹" || return 1
  awk 'BEGIN { for (i = 0; i < 40000; i++) printf "%07d velmor\n", i }' \
    >"$1/iso-source/numbers.txt" || return 1
  printf 'hello\n' >"$1/iso-source/文件夹/说明.txt" || return 1
  SOURCE_DATE_EPOCH=1700000000 xorriso -as mkisofs -quiet -J -V VELMOR_TEST \
    -o "$1/source.iso" "$1/iso-source" >/dev/null 2>&1 || return 1
  printf '%s\n' "$1/source.iso"
}

# make_test_images GENERATOR ISO DIR [generator options...]: every image format from ISO into
# DIR, with DIR/manifest.txt.
make_test_images() {
  _generator=$1 _iso=$2 _dir=$3
  shift 3
  mkdir -p "$_dir" && "$_generator" "$_iso" "$_dir" "$@"
}

# manifest_tracks DIR IMAGE: "track start-block data|audio|leadout" lines the manifest gives
# the image (its name within DIR).
manifest_tracks() {
  awk -F '\t' -v image="$2" '$1 == image { print $2, $3, $4 }' "$1/manifest.txt"
}

# cd_info_tracks IMAGE: libcdio's table of contents of a .cue (it reads NAME.bin beside it)
# or an .nrg, in the manifest's form. cd-info names every track of an NRG with raw tracks
# by the first one's kind: compare only numbers and blocks there (cut -d' ' -f1,2).
cd_info_tracks() {
  cd-info --no-header --no-device-info --no-disc-mode --no-analyze --no-cddb -q "$1" 2>/dev/null |
    awk '/^ *[0-9]+: [0-9][0-9]:[0-9][0-9]:[0-9][0-9] / {
           sub(":", "", $1); print $1 + 0, $3 + 0, $4 }'
}

# raw_edc_check FILE FIRST COUNT mode1|mode2: checks COUNT raw sectors from sector FIRST of
# FILE (2,352 bytes each) against the CRC of CD-ROM sectors computed bit by bit, and their
# sync and mode bytes; prints each bad sector and fails if there is one.
raw_edc_check() {
  perl -e '
    my ($file, $first, $count, $mode) = @ARGV;
    open(my $f, "<:raw", $file) or die "$file: $!\n";
    seek($f, $first * 2352, 0) or die "$file: $!\n";
    my ($from, $length, $at) = $mode eq "mode1" ? (0, 2064, 2064) : (16, 2056, 2072);
    my $bad = 0;
    for my $s (0 .. $count - 1) {
      read($f, my $sector, 2352) == 2352 or die "$file: sector ", $first + $s, " cut short\n";
      my $crc = 0;
      for my $byte (unpack("C*", substr($sector, $from, $length))) {
        $crc ^= $byte;
        for (1 .. 8) { $crc = $crc & 1 ? ($crc >> 1) ^ 0xD8018001 : $crc >> 1; }
      }
      my $stored = unpack("V", substr($sector, $at, 4));
      my $sync = substr($sector, 0, 12) eq "\x00" . ("\xFF" x 10) . "\x00";
      my $modeByte = ord(substr($sector, 15, 1)) == ($mode eq "mode1" ? 1 : 2);
      next if $crc == $stored && $sync && $modeByte;
      printf "sector %d: EDC %08x stored %08x%s\n", $first + $s, $crc, $stored,
        $sync && $modeByte ? "" : ", header wrong";
      $bad = 1;
    }
    exit $bad;' "$@"
}
