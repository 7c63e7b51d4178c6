#!/bin/bash
# Builds korv's SELinux policy (sepolicy/) the way a device build does: the
# platform's files and korv's .te files through m4 into one policy.conf,
# compiled by checkpolicy, with base/ standing in for the platform.  Then:
#   compile    the policy builds for user and userdebug, and its
#              file_contexts, property_contexts, genfs and port labels all
#              name contexts that exist in the compiled policy;
#   neverallow each rule that breaks one of korv's promises fails the build,
#              naming the neverallow in sepolicy/korv.te that it breaks;
#   reach      what korv must be able to do on a phone is allowed in the
#              compiled policy, and what it must not do is not;
#   may-set J  every line "SETTER NAME" of J (the simulated phone's set
#              journal) is a set that the policy lets the program's domain
#              make: /system/bin/SETTER's label, the domain it runs in, and
#              NAME's property context as the property service finds it.
# Usage: policy_test.sh SOURCE_DIR WORK_DIR compile|neverallow|reach|may-set [JOURNAL]
set -u

src=$1
work=$2
what=$3
base=$src/tests/sepolicy/base
policy=$src/sepolicy
failures=0

for tool in m4 checkpolicy setfiles seinfo sesearch selabel_lookup; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run make deps"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# build VARIANT OUT [EXTRA.te]: policy.conf and binary policy OUT.bin;
# checkpolicy's messages in OUT.log.  The platform's order of files.
build() {
    local variant=$1 out=$2 extra=${3:-}
    m4 -D target_build_variant="$variant" -s \
        "$base"/security_classes "$base"/initial_sids "$base"/access_vectors \
        "$base"/global_macros "$base"/te_macros "$base"/mls "$base"/attributes \
        "$base"/platform.te "$policy"/*.te $extra \
        "$base"/roles "$base"/users "$base"/initial_sid_contexts "$base"/fs_use \
        "$base"/genfs_contexts "$policy"/genfs_contexts "$policy"/port_contexts \
        >"$out.conf" 2>"$out.log" &&
        checkpolicy -M -o "$out.bin" "$out.conf" >>"$out.log" 2>&1
}

# check_property_contexts FILE POLICY: every line is NAME CONTEXT
# [exact|prefix [TYPE]], no name twice, and every context a valid one whose
# type is a property type of the policy.
check_property_contexts() {
    local file=$1 bin=$2 props
    props=$(seinfo "$bin" -a property_type -x | sed -n 's/^\s\+\([a-z0-9_]\+\)$/\1/p')
    awk -v props="$props" '
        BEGIN { n = split(props, list, "\n"); for (i = 1; i <= n; i++) known[list[i]] = 1 }
        /^[ \t]*(#|$)/ { next }
        {
            where = FILENAME ":" FNR
            if (NF < 2 || NF > 4) { print where ": not NAME CONTEXT [MATCH [TYPE]]"; bad = 1; next }
            if (seen[$1]++) { print where ": " $1 " named twice"; bad = 1 }
            if (NF >= 3 && $3 != "exact" && $3 != "prefix") { print where ": match " $3; bad = 1 }
            if (NF == 4 && $4 !~ /^(string|int|uint|double|bool|enum)$/) { print where ": value type " $4; bad = 1 }
            split($2, c, ":")
            if (c[1] != "u" || c[2] != "object_r" || c[4] != "s0" || !(c[3] in known)) {
                print where ": " $2 " is no property context of the policy"; bad = 1
            }
        }
        END { exit bad }' "$file"
}

test_compile() {
    local variant
    for variant in user userdebug; do
        if ! build "$variant" "$work/$variant"; then
            fail "the $variant policy does not compile:"
            cat "$work/$variant.log"
        fi
    done
    local bin=$work/userdebug.bin
    [ -s "$bin" ] || return

    setfiles -c "$bin" "$policy/file_contexts" || fail "file_contexts names a context the policy lacks"
    check_property_contexts "$policy/property_contexts" "$bin" ||
        fail "property_contexts names a context the policy lacks"

    # The checks above must be able to fail: a context of an undeclared type
    # in each file is refused.
    sed '0,/korv_data_file/s//korv_undeclared_file/' "$policy/file_contexts" >"$work/fc_bad"
    setfiles -c "$bin" "$work/fc_bad" 2>/dev/null && fail "setfiles took an undeclared type"
    sed '0,/korv_status_prop/s//korv_data_file/' "$policy/property_contexts" >"$work/pc_bad"
    check_property_contexts "$work/pc_bad" "$bin" >/dev/null &&
        fail "a file type passed as a property context"

    # The sysfs nodes and the framework ports carry korv's labels once
    # compiled.
    local labels
    labels=$(seinfo "$bin" --genfscon --portcon 2>&1)
    for want in "sysfs /tarno/usim_voltage .*sysfs_bw_usim" "sysfs /kernel/boot_adsp/boot .*sysfs_bw_adsp" \
        "tcp 8010 .*korv_fw_port" "tcp 8020 .*korv_fw_port"; do
        grep -q -- "$want" <<<"$labels" || fail "no label \"$want\" in the compiled policy"
    done
}

# Each line: a rule that breaks a promise of docs/security.md.
violations() {
    cat <<'EOF'
allow korv self:capability dac_override;
allow korv self:capability chown;
allow korv self:capability { fowner fsetid };
allow korv system_file:file { open write };
allow korv system_data_file:dir { add_name write };
allow korv device:chr_file create;
allow korv socket_device:sock_file create;
allow korv self:udp_socket { create connect write };
allow korv self:netlink_route_socket { create read write };
allow korv self:tcp_socket { listen accept };
allow korv port:tcp_socket name_connect;
allow korv self:netlink_tcpdiag_socket nlmsg_write;
allowxperm korv bw_modem_device:chr_file ioctl 0x5401;
allow korv default_prop:property_service set;
allow system_server korv_status_prop:property_service set;
allow system_server korv:unix_stream_socket connectto;
allow system_server korv_fw_port:tcp_socket name_bind;
allow system_server korv:process sigkill;
allow system_server bw_socbridge_device:chr_file { open read };
allow system_server korv_devpts:chr_file { open read write };
EOF
}

test_neverallow() {
    build userdebug "$work/clean" || {
        fail "the policy does not compile without the added rules:"
        cat "$work/clean.log"
        return
    }
    local n=0 rule
    while IFS= read -r rule; do
        n=$((n + 1))
        printf '%s\n' "$rule" >"$work/violation$n.te"
        if build userdebug "$work/violation$n" "$work/violation$n.te"; then
            fail "compiled with: $rule"
        elif ! grep -q "neverallow\(xperm\)\? on line [0-9]* of $policy/korv.te" "$work/violation$n.log"; then
            fail "refused for another reason than a neverallow of korv.te: $rule"
            cat "$work/violation$n.log"
        else
            echo "refused: $rule"
        fi
    done < <(violations)
}

# allowed SESEARCH-ARGS: true when sesearch finds a rule.
allowed() {
    [ -n "$(sesearch "$@" "$work/userdebug.bin" 2>/dev/null)" ]
}

test_reach() {
    build userdebug "$work/userdebug" || { fail "the policy does not compile"; cat "$work/userdebug.log"; return; }

    # Started by init into its own domain.
    allowed -T -s init -t korv_exec -c process -D korv || fail "init does not start korv_exec in korv"
    allowed -A -s korv -t korv_exec -c file -p entrypoint || fail "korv_exec is no entry point of korv"

    # The property service: korv reaches init's socket for every set.
    allowed -A -s korv -t property_socket -c sock_file -p write &&
        allowed -A -s korv -t init -c unix_stream_socket -p connectto ||
        fail "korv cannot reach the property service"

    # The dump tool runs in its own domain, and only it and korv may say it
    # finished.
    allowed -T -s korv -t bw_dump_exec -c process -D bw_dump || fail "bw-dump does not run in bw_dump"
    allowed -A -s bw_dump -t bw_dump_prop -c property_service -p set || fail "bw_dump cannot report the finished dump"
    allowed -A -s bw_dump -t korv_dump_file -c file -p create || fail "bw_dump cannot write its dump"
    allowed -A -s korv -t korv_dump_file -c file -p write && fail "korv writes the dump folder"

    # The shell korv runs stays in korv's domain: the DSP boot write and cp
    # depend on it.
    allowed -T -s korv -t shell_exec -c process && fail "the shell leaves korv's domain"
    allowed -A -s korv -t shell_exec -c file -p execute_no_trans || fail "korv cannot run the shell"

    # Debug builds only: the shell sets the switches and the AT time-out.
    build user "$work/user" || { fail "the user policy does not compile"; return; }
    [ -n "$(sesearch -A -s shell -c property_service "$work/user.bin")" ] &&
        fail "the user build lets the shell set properties"
    allowed -A -s shell -t bw_at_prop -c property_service -p set || fail "userdebug: the shell cannot set the AT time-out"

    # A client domain connects once a device gives it korv_client.
    printf 'type korv_test_client, domain;\ntypeattribute korv_test_client korv_client;\n' >"$work/client.te"
    build userdebug "$work/client" "$work/client.te" || { fail "a korv_client domain breaks the build"; return; }
    [ -n "$(sesearch -A -s korv_test_client -t korv -c unix_stream_socket -p connectto "$work/client.bin")" ] &&
        [ -n "$(sesearch -A -s korv_test_client -t korv_socket -c sock_file -p write "$work/client.bin")" ] ||
        fail "a korv_client domain cannot reach the control socket"
}

# prop_type NAME: the type of NAME's context in property_contexts, found as
# the property service does: an exact entry, else the longest prefix.
prop_type() {
    awk -v name="$1" '
        /^[ \t]*(#|$)/ { next }
        $3 == "exact" { if ($1 == name) exact = $2; next }
        substr(name, 1, length($1)) == $1 && length($1) > best { best = length($1); found = $2 }
        END { ctx = exact != "" ? exact : found; split(ctx, c, ":"); print c[3] }' "$policy/property_contexts"
}

# exec_domain PROGRAM: the domain /system/bin/PROGRAM runs in, from its
# file context and the process transitions into that type.
exec_domain() {
    local ctx type
    ctx=$(selabel_lookup -b file -k "/system/bin/$1" -f "$policy/file_contexts" 2>/dev/null) || return
    type=$(cut -d: -f3 <<<"${ctx#Default context: }")
    sesearch -T -t "$type" -c process "$work/userdebug.bin" 2>/dev/null |
        sed -n 's/^type_transition .* \([a-z0-9_]*\);$/\1/p' | sort -u
}

test_may_set() {
    local journal=$1 setter name domain type
    build userdebug "$work/userdebug" || { fail "the policy does not compile"; cat "$work/userdebug.log"; return; }
    [ -s "$journal" ] || { fail "no set in $journal"; return; }
    while read -r setter name; do
        domain=$(exec_domain "$setter")
        type=$(prop_type "$name")
        if [ -z "$domain" ] || [ "$(wc -l <<<"$domain")" -ne 1 ]; then
            fail "$setter: /system/bin/$setter does not run in one domain of its own (${domain:-none})"
        elif [ -z "$type" ]; then
            fail "$setter sets $name, which has no property context"
        elif ! allowed -A -s "$domain" -t "$type" -c property_service -p set; then
            fail "$setter sets $name ($type), which the policy keeps $domain from setting"
        else
            echo "$domain may set $name ($type)"
        fi
    done < <(sort -u "$journal")
}

case $what in
compile) test_compile ;;
neverallow) test_neverallow ;;
reach) test_reach ;;
may-set) test_may_set "${4:?journal}" ;;
*) echo "usage: $0 SOURCE_DIR WORK_DIR compile|neverallow|reach|may-set JOURNAL"; exit 2 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok"
