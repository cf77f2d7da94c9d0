#!/usr/bin/env bash
# Draws the start-screen logos compiled into panelctl (ImageMagick). They
# are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"
font=DejaVu-Sans-Bold
light=DejaVu-Sans
make_logo() { # width height output
  local w=$1 h=$2 out=$3
  local s=$(( (w < h ? w : h) ))
  local mark=$(( s * 22 / 100 )) word=$(( s * 15 / 100 )) tag=$(( s * 4 / 100 ))
  local cx=$(( w / 2 )) cy=$(( h / 2 - s * 12 / 100 ))
  convert -size "${w}x${h}" radial-gradient:'#1b3a66'-'#060d1a' \
    -fill none -stroke '#f08a24' -strokewidth $(( s / 90 + 2 )) \
    -draw "roundrectangle $(( cx - mark/2 )),$(( cy - mark/2 )) $(( cx + mark/2 )),$(( cy + mark/2 )) $(( mark/5 )),$(( mark/5 ))" \
    -stroke none -fill '#f08a24' \
    -draw "rectangle $(( cx - mark*3/10 )),$(( cy - mark*3/10 )) $(( cx + mark*3/10 )),$(( cy - mark*3/10 + mark/7 ))" \
    -draw "rectangle $(( cx - mark/14 )),$(( cy - mark*3/10 )) $(( cx + mark/14 )),$(( cy + mark*3/10 ))" \
    -font "$font" -pointsize "$word" -fill '#f4f6fa' -kerning $(( word / 6 )) \
    -gravity center -annotate +0+$(( s * 14 / 100 )) 'TAVRIK' \
    -fill '#f08a24' -draw "rectangle $(( cx - s*18/100 )),$(( cy + s*36/100 )) $(( cx + s*18/100 )),$(( cy + s*36/100 + 2 ))" \
    -font "$light" -pointsize "$tag" -kerning $(( tag / 3 )) -fill '#9fb2cc' \
    -annotate +0+$(( s * 32 / 100 )) 'DISPLAY SYSTEMS' \
    -depth 8 -strip -define png:compression-level=9 -colors 128 "$out"
}
make_logo 800 480 logo.800x480.png
make_logo 854 480 logo.854x480.png
make_logo 800 800 logo.800x800.png
