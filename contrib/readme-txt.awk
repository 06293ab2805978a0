# Makes README.txt of the Windows zip from README.md: the blocks between the "windows" marks,
# as plain text with CRLF line ends for Notepad, and only ASCII, which every Windows shows.
# Usage: awk -v version=X.Y.Z -f readme-txt.awk README.md >README.txt
function out(line) {
  gsub(/\xC3\x97/, "x", line)      # multiplication sign
  gsub(/\xCE\xA9/, " ohm", line)   # ohm sign
  printf "%s\r\n", line
  blank = (line == "")
}
function underline(text, mark,   rule) {
  out(text)
  rule = text
  gsub(/./, mark, rule)
  out(rule)
}
BEGIN {
  underline("Knobvane " version " for Windows", "=")
  out("")
}
# Blocks follow one another with one empty line between them.
/^<!-- windows -->$/ {
  inside = 1
  if (!blank) out("")
  next
}
/^<!-- \/windows -->$/ { inside = 0; next }
!inside { next }
/^```/ { code = !code; next }
code { out("    " $0); next }
/^#+ / {
  title = $0
  sub(/^#+ /, "", title)
  underline(title, "-")
  next
}
{
  line = $0
  gsub(/`/, "", line)
  gsub(/\*\*/, "", line)
  # Links keep their text: "[Install](#install)" reads "Install".
  while (match(line, /\[[^]]*\]\([^)]*\)/)) {
    link = substr(line, RSTART, RLENGTH)
    sub(/\]\(.*/, "", link)
    line = substr(line, 1, RSTART - 1) substr(link, 2) substr(line, RSTART + RLENGTH)
  }
  out(line)
}
