# Sets benchmark rows side by side: one input file per column (the lines
# that client_bench --tsv and image_bench --tsv= write, see ratio_rows.h),
# one output row per operation. A ratio over its target is marked '!'.
#
#   awk -F '\t' -v names="col1,col2,..." -f bench/ratio_table.awk file1 file2 ...
#
# A file may hold several runs of one program: an operation's ratio is then
# its fastest time over the fastest memcpy time of all of them, as within
# one run. A column whose file is missing or empty shows '-'; `names` may
# name more columns than there are files.
BEGIN {
  ncol = split(names, head, ",")
}
FNR == 1 { col++ }
{
  if (!($1 in label)) { order[++n] = $1; label[$1] = $7; target[$1] = $6 }
  if (!(($1, col) in us) || $3 < us[$1, col]) us[$1, col] = $3
  if (!(($1, col) in base) || $4 < base[$1, col]) base[$1, col] = $4
  ratio[$1, col] = base[$1, col] > 0 ? us[$1, col] / base[$1, col] : $2
}
END {
  width = 15
  for (c = 1; c <= ncol; c++) if (length(head[c]) + 1 > width) width = length(head[c]) + 1
  printf "%-44s %6s", "ratio to memcpy of the same output bytes", "target"
  for (c = 1; c <= ncol; c++) printf " %*s", width, head[c]
  printf "\n"
  misses = 0
  for (i = 1; i <= n; i++) {
    k = order[i]
    printf "%-44s %6s", label[k], (target[k] > 0 ? sprintf("%.1f", target[k]) : "")
    for (c = 1; c <= ncol; c++) {
      if ((k, c) in ratio) {
        over = target[k] > 0 && ratio[k, c] > target[k]
        if (over) { misses++; missed = missed "\n  " label[k] " in " head[c] }
        printf " %*.2f%s", width - 1, ratio[k, c], (over ? "!" : " ")
      } else {
        printf " %*s", width, "-"
      }
    }
    printf "\n"
  }
  printf "%-44s %6s", "debayerImage time / OpenCV 1-thread time", ""
  for (c = 1; c <= ncol; c++) {
    if (("debayer", c) in us && ("opencv1", c) in us)
      printf " %*.2f ", width - 1, us["debayer", c] / us["opencv1", c]
    else
      printf " %*s", width, "-"
  }
  printf "\n\n"
  if (misses == 0) print "Every target holds in every column measured."
  else print "Targets missed:" missed
}
