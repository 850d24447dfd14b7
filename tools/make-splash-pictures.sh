#!/bin/sh
# Draws the two splash pictures into resources/ with ImageMagick: the house
# brand as a 24-bit 600 x 400 bitmap, the second brand as an 800 x 700
# baseline JPEG with three colour components. Run it from the repository
# root after changing a picture's design; the results are committed.
set -eu
out=resources

convert -size 600x400 gradient:'#1c3f6e-#6fa3d8' \
  -fill '#f4f1e8' -draw 'polygon 300,70 250,150 300,130 350,150' \
  -draw 'polygon 300,130 210,175 300,160 390,175' \
  -font Helvetica-Bold -pointsize 52 -gravity center -annotate +0+20 'Quillmark Inc' \
  -font Helvetica -pointsize 30 -annotate +0+80 'Kestrel firmware loader' \
  -pointsize 16 -gravity south -annotate +0+24 'Version 1.04' \
  -type TrueColor BMP3:"$out/QMISplash.bmp"

convert -size 800x700 radial-gradient:'#f7d58b-#a4471c' \
  -fill '#2b1608' -draw 'polygon 400,140 320,260 400,230 480,260' \
  -draw 'polygon 400,230 270,300 400,280 530,300' \
  -font Helvetica-Bold -pointsize 110 -gravity center -annotate +0+60 'KLR' \
  -font Helvetica -pointsize 40 -annotate +0+160 'Kestrel' \
  -pointsize 20 -gravity south -annotate +0+30 'Version 1.04' \
  -type TrueColor -colorspace sRGB -interlace none -sampling-factor 2x2,1x1,1x1 \
  -quality 88 -strip "$out/KLRSplash.jpg"
