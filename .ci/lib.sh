# What the steps of .ci/run share; sourced by it, from the top directory.

# The lines of the README's code block that holds a line beginning with $1,
# from that line to the end of the block.
readme_lines_from() {
  sed -n "\\|^$1|,/^\`\`\`/p" README.md | sed '$d'
}

# Every relative link in the installed README $1 leads to a file beside it.
readme_links_resolve() {
  local target
  for target in $(zcat "$1" | grep -o '](\([^)#:]*\))' | sed 's/^](//; s/)$//'); do
    if [ ! -e "$(dirname "$1")/$target" ]; then
      echo "$1 links to $target, which is not installed beside it" >&2
      return 1
    fi
  done
}

# Walks one of the README's routes into ~/.local and out, as pasted in the
# clone's top directory, with HOME in a scratch directory: the route's first
# line, then the command given after $1, then the rest of its lines. The
# user's own ~/.local/bin and ~/.local/share, there at mode 0700 beforehand,
# must keep their mode and be all that is left; the installed roster must
# print the installed sample's table, and, found on PATH as the README says,
# the table of the README's own roster, with its manual page found too.
walk_readme_route() {
  local route home out
  route=$(readme_lines_from "$1")
  shift
  home=$(mktemp -d)
  mkdir -p "$home/.local/bin" "$home/.local/share"
  chmod 700 "$home/.local/bin" "$home/.local/share"
  (export HOME=$home && eval "$(head -n 1 <<<"$route")")
  if [ "$(stat -c %a "$home/.local/bin" "$home/.local/share")" != $'700\n700' ]; then
    echo "The README's install changed the mode of the user's folders:" >&2
    stat -c '%a %n' "$home/.local/bin" "$home/.local/share" >&2
    return 1
  fi
  (cd "$home/.local" &&
    zcat share/doc/roster/examples/sample-50-recs.csv.gz >sample-50-recs.csv &&
    bin/roster && rm sample-50-recs.csv) | cmp - tests/e2e/sample.out
  readme_links_resolve "$home/.local/share/doc/roster/README.md.gz"
  out=$(export HOME=$home PATH="$home/.local/bin:$PATH" &&
    man -w roster >/dev/null &&
    eval "$(readme_lines_from 'mkdir -p ~/staff')")
  if [ "$(wc -l <<<"$out")" != 5 ]; then
    echo "The README's own roster did not print two rows:" >&2
    echo "$out" >&2
    return 1
  fi
  rm -r "$home/staff"
  "$@"
  (export HOME=$home && eval "$(tail -n +2 <<<"$route")")
  if [ -n "$(find "$home" -mindepth 1 -not -path "$home/.local" \
    -not -path "$home/.local/bin" -not -path "$home/.local/share")" ]; then
    echo "The README's uninstall left more than the user's own folders:" >&2
    find "$home" -mindepth 1 >&2
    return 1
  fi
  rm -rf "$home"
}

# Builds the amd64 and arm64 .debs and the x86_64 and aarch64 tarballs, and
# lists them, in that order, in `packages`. Each .deb must name the packages
# it depends on.
build_packages() {
  local preset deb
  for preset in package package-arm64 portable portable-aarch64; do
    cmake --workflow --preset "$preset" >/dev/null
  done
  packages=(
    build/package/roster_*_amd64.deb
    build/package-arm64/roster_*_arm64.deb
    build/portable/roster-*-linux-x86_64.tar.gz
    build/portable-aarch64/roster-*-linux-aarch64.tar.gz
  )
  for deb in "${packages[@]:0:2}"; do
    if [ -z "$(dpkg-deb --field "$deb" Depends)" ]; then
      echo "$deb has no Depends field" >&2
      return 1
    fi
  done
}

# Runs a command with the program $1 hidden, in a mount namespace of its
# own, and fails unless the command refuses, naming the packages to install.
refused_without() {
  local hidden=$1 message
  shift
  if message=$(unshare --mount sh -c \
    'mount --bind /dev/null "$(command -v "$0")" && exec "$@"' \
    "$hidden" "$@" 2>&1) ||
    ! tr -s ' \n' ' ' <<<"$message" | grep -q 'apt-get install dpkg-dev file'; then
    echo "Without $hidden, '$*' did not refuse to make a .deb:" >&2
    echo "$message" >&2
    return 1
  fi
}

# Without dpkg-shlibdeps or without file, which work out a .deb's
# dependencies, the package preset refuses to configure, and cpack refuses
# to make a .deb in any tree.
deb_refused_without_its_tools() {
  local built tool configured
  built=$(mktemp -d)
  cmake --preset release -B "$built" >/dev/null
  cmake --build "$built" >/dev/null
  for tool in dpkg-shlibdeps file; do
    configured=$(mktemp -d)
    refused_without "$tool" cmake --preset package -B "$configured"
    (cd "$built" && refused_without "$tool" cpack -G DEB)
    rm -rf "$configured"
  done
  rm -rf "$built"
}

# Runs `roster`, given as a command, on every tests/e2e/NAME.csv that has a
# NAME.out, and compares what it prints.
golden_pairs() {
  local dir csv
  dir=$(mktemp -d)
  for csv in tests/e2e/*.csv; do
    [ -f "${csv%.csv}.out" ] || continue
    cp "$csv" "$dir/sample-50-recs.csv"
    (cd "$dir" && "$@") | cmp - "${csv%.csv}.out"
  done
  rm -rf "$dir"
}

# Runs a command in a mount namespace of its own, with $1 more tmpfs mounts,
# which end with it.
with_more_mounts() {
  local count=$1 base status=0
  shift
  base=$(mktemp -d)
  unshare --mount sh -c 'count=$1 base=$2
    shift 2
    for mount in $(seq "$count"); do
      mkdir "$base/$mount" && mount -t tmpfs -o size=4k none "$base/$mount" || exit 1
    done
    exec "$@"' sh "$count" "$base" "$@" || status=$?
  rm -rf "$base"
  return "$status"
}
