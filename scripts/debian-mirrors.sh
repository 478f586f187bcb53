# shellcheck shell=bash
# The machine's Debian mirrors, whatever release it runs (sourced by the
# scripts that make roots of a release): `mirror` prints the URI of the first
# apt source serving one of Debian's suites, `security_mirror` that of the
# first serving its security updates (nothing when there is none). Sources of
# other projects, and disabled ones, are passed over.

# "URI SUITE" for each suite of each of the machine's apt sources, deb822 or
# one-line style (either kind of file may be missing).
apt_sources() {
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= '{
    n = split($0, lines, "\n"); uri = ""; suites = ""; on = 1
    for (i = 1; i <= n; i++) {
      k = split(lines[i], w, /[ \t]+/)
      if (w[1] == "URIs:") uri = w[2]
      if (w[1] == "Suites:") for (j = 2; j <= k; j++) suites = suites " " w[j]
      if (w[1] == "Enabled:" && w[2] == "no") on = 0
    }
    k = split(suites, s, " ")
    for (j = 1; on && uri != "" && j <= k; j++) print uri, s[j] }' || true
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' || true
}

debian_suite='^(buster|bullseye|bookworm|trixie|forky|duke|sid|oldoldstable|oldstable|stable|testing|unstable)'
mirror() { apt_sources | awk -v re="$debian_suite(-updates|-backports)?\$" '$2 ~ re && !n++ { print $1 }'; }
security_mirror() { apt_sources | awk -v re="$debian_suite-security\$" '$2 ~ re && !n++ { print $1 }'; }
