# Shared by the package checks (sourced): a scratch root for dpkg --root.
# new_root DIR: a fresh system's dpkg database and accounts, with the database server's user.
new_root() {
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/etc"
    touch "$1/var/lib/dpkg/status" "$1/var/lib/dpkg/available"
    printf 'root:x:0:0:root:/root:/bin/bash\nmysql:x:101:102:MariaDB:/nonexistent:/bin/false\n' >"$1/etc/passwd"
    printf 'root:x:0:\nmysql:x:102:\n' >"$1/etc/group"
    printf 'root:*:19000:0:99999:7:::\nmysql:!:19000::::::\n' >"$1/etc/shadow"
    printf 'root:*::\nmysql:!::\n' >"$1/etc/gshadow"
}
