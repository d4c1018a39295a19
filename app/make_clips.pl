#!/usr/bin/perl
# Writes the drive panel's two clips, insert.avi and eject.avi, into the given folder:
# uncompressed AVI, 10 frames of 96 x 32 pixels at 16 bits (RGB 5-5-5), 83,333 us a frame,
# with an index. A disc slides into a drive (INSERT) or out of it (EJECT).
#   make_clips.pl <output folder>
use strict;
use warnings;

my ($out) = @ARGV;
die "usage: make_clips.pl <output folder>\n" unless defined $out;

my ($W, $H, $FRAMES, $US) = (96, 32, 10, 83333);
my $FRAME_BYTES = $W * $H * 2;

sub rgb { my ($r, $g, $b) = @_; return (($r >> 3) << 10) | (($g >> 3) << 5) | ($b >> 3); }
my $BACK  = rgb(255, 255, 255);   # the first pixel: transparent in the control
my $DRIVE = rgb(72, 76, 84);
my $SLOT  = rgb(16, 16, 16);
my $LIGHT = rgb(40, 200, 60);
my $DISC  = rgb(196, 200, 212);
my $SHINE = rgb(236, 240, 248);
my $RIM   = rgb(120, 124, 136);

# One frame with the disc's centre at x = $cx; rows top to bottom.
sub frame {
  my ($cx, $lit) = @_;
  my @px = ($BACK) x ($W * $H);
  my $cy = 15;
  for my $y (0 .. $H - 1) {
    for my $x (0 .. $W - 1) {
      my $d2 = ($x - $cx) ** 2 + ($y - $cy) ** 2;
      next if $d2 > 13 * 13 || $d2 < 3 * 3;
      $px[$y * $W + $x] = $d2 > 12 * 12 ? $RIM : ($x - $cx + $y - $cy < -6 ? $SHINE : $DISC);
    }
  }
  # The drive in front of the disc: a box from x = 60 with its slot at mid-height.
  for my $y (2 .. 29) {
    for my $x (60 .. 93) {
      my $c = $DRIVE;
      $c = $SLOT if $y >= 14 && $y <= 16 && $x <= 86;
      $c = $LIGHT if $lit && $y >= 24 && $y <= 26 && $x >= 86 && $x <= 90;
      $px[$y * $W + $x] = $c;
    }
  }
  # Bottom-up rows, as a DIB stores them.
  return join '', map { pack 'v*', @px[$_ * $W .. $_ * $W + $W - 1] } reverse 0 .. $H - 1;
}

sub chunk { my ($id, $data) = @_; return $id . pack('V', length $data) . $data; }
sub list  { my ($type, $data) = @_; return chunk('LIST', $type . $data); }

sub avi {
  my @frames = @_;
  my $avih = pack 'V14', $US, $FRAME_BYTES * 12, 0, 0x10, $FRAMES, 0, 1, $FRAME_BYTES, $W, $H,
    0, 0, 0, 0;
  my $strh = 'vids' . 'DIB ' . pack('V v v V V V V V V V V v4', 0, 0, 0, 0, $US, 1000000, 0,
    $FRAMES, $FRAME_BYTES, 0xFFFFFFFF, 0, 0, 0, $W, $H);
  my $strf = pack 'V l l v v V V l l V V', 40, $W, $H, 1, 16, 0, $FRAME_BYTES, 0, 0, 0, 0;
  my $hdrl = list('hdrl', chunk('avih', $avih) . list('strl', chunk('strh', $strh) .
    chunk('strf', $strf)));
  my ($movi, $idx) = ('', '');
  for my $f (@frames) {
    $idx .= '00db' . pack('V V V', 0x10, 4 + length $movi, $FRAME_BYTES);
    $movi .= chunk('00db', $f);
  }
  my $body = 'AVI ' . $hdrl . list('movi', $movi) . chunk('idx1', $idx);
  return 'RIFF' . pack('V', length $body) . $body;
}

# The disc's centre from outside the drive (x = 16) to inside it (x = 76).
my @in = map { frame(16 + $_ * 60 / ($FRAMES - 1), $_ == $FRAMES - 1) } 0 .. $FRAMES - 1;
for (['insert.avi', [@in]], ['eject.avi', [reverse @in]]) {
  my ($name, $frames) = @$_;
  open my $fh, '>:raw', "$out/$name.tmp" or die "$out/$name: $!\n";
  print $fh avi(@$frames);
  close $fh or die "$out/$name: $!\n";
  rename "$out/$name.tmp", "$out/$name" or die "$out/$name: $!\n";
}
