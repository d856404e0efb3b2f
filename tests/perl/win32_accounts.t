# KALDOR::Install::System::Win32::API, the account half: names and SIDs of
# this host, the administrator test under several users, users and groups
# (the host's and those kept in the system store), local groups, rights,
# the missing domain, a store that refuses changes, and bad arguments.
use strict;
use warnings;
use Test::More;
use POSIX ();
use LmxTest qw(finish kit temp_dir write_file run_kit);
use LmxTest::Registry qw(fresh_store sql);
use LmxTest::Users qw(run_as make_test_user have_setpriv);
use Sys::Hostname qw(hostname);

my $store = fresh_store();
bootstrap KALDOR::Install::System::Win32::API;
my $api = 'KALDOR::Install::System::Win32::API';
sub call { my $name = shift; no strict 'refs'; return &{"${api}::$name"}(@_) }

my $computer = uc((split /\./, hostname())[0]);
$computer = substr($computer, 0, 15);
my $me = getpwuid($>);
my ($root_sid) = (call('lookupAccount', 'root'))[1];

subtest 'names of this machine and its accounts' => sub {
    is(call('GetComputerName'), $computer, 'the host name up to its first dot, in capitals');
    is(call('GetCurrentUser'), "$computer\\$me", 'COMPUTER\\user of the effective user');
    is(call('GetComputerName', 1), undef, 'no arguments taken');
    is_deeply([call('LookupBuiltinAccount', 32, 544)], ['BUILTIN\\Administrators', 'S-1-5-32-544'],
              'the administrators group');
    is_deeply([call('LookupBuiltinAccount', 18)], ['NT AUTHORITY\\SYSTEM', 'S-1-5-18'],
              'the local system account');
    is_deeply([call('LookupBuiltinAccount', 32, 545)], ['BUILTIN\\Users', 'S-1-5-32-545'], 'users');
    is_deeply([call('LookupBuiltinAccount', 32, 550)], [undef, 'S-1-5-32-550'],
              'a SID without a name here');
    is_deeply([call('LookupBuiltinAccount', '32', 544)], [undef], 'a string is no integer');
    is_deeply([call('LookupBuiltinAccount')], [undef], 'no arguments');
    is(call('DOMAIN_ALIAS_RID_ADMINS') + call('DOMAIN_ALIAS_RID_USERS')
       + call('SECURITY_BUILTIN_DOMAIN_RID') + call('SECURITY_LOCAL_SYSTEM_RID'),
       544 + 545 + 32 + 18, 'the RID constants');
    is(call('WSAECONNREFUSED'), 10061, 'WSAECONNREFUSED');

    open(my $in, '<', '/etc/machine-id');
    my $id = $in ? <$in> : '';
    my @parts = $id =~ /^([0-9a-f]{8})([0-9a-f]{8})([0-9a-f]{8})/ ? map { hex } $1, $2, $3 : (0, 0, 0);
    my $machine = join '-', 'S-1-5-21', @parts;
    is_deeply([call('lookupAccount', 'root')], [0, "$machine-1000", 1], 'root: machine SID-1000, a user');
    is_deeply([call('lookupAccount', 'nobody', $computer)], [0, "$machine-66534", 1],
              'nobody with the computer as domain');
    is_deeply([call('lookupAccount', 'Administrators')], [0, 'S-1-5-32-544', 4], 'an alias');
    is_deeply([call('lookupAccount', 'Everyone')], [0, 'S-1-1-0', 5], 'a well-known group');
    is_deeply([call('lookupAccount', 'sudo')], [0, "$machine-" . (1000 + getgrnam('sudo')), 4],
              'a host group by its gid') if defined getgrnam('sudo');
    is_deeply([call('lookupAccount', 'no such account')], [-1], 'unknown');
    is_deeply([call('lookupAccount', 'root', 'NODOMAIN')], [-1], 'unknown domain');
    is_deeply([call('lookupAccount', "ro\0ot")], [undef], 'a NUL in a name');
    is(call('ExistsGroup', 'Administrators') . call('ExistsGroup', 'Everyone')
       . call('ExistsGroup', 'nogroup'), '111', 'groups, aliases and well-known groups exist');
    is(call('ExistsGroup', 'nobody') . call('ExistsGroup', 'no such group'), '00',
       'a user or nothing is no group');
};

subtest 'the administrator test' => sub {
    plan skip_all => 'needs root' unless $> == 0;
    my $text;
    is(call('IsLocalAdmin', $text), 1, 'root holds the administrators group enabled');
    is($text, 'BUILTIN\\Administrators', 'with its name');
    is(call('IsLocalAdmin'), 1, 'without an output argument');
    is(call('IsLocalAdmin', 'read-only'), 1, 'a read-only output is left alone');
    is(call('IsLocalAdmin', 1, 2), undef, 'two arguments');
    SKIP: {
        skip 'setpriv is not available', 2 unless have_setpriv();
        my ($code, $out) = run_as('nobody', <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
my $r = KALDOR::Install::System::Win32::API::IsLocalAdmin(my $t);
print "admin=$r text=$t\n";
0;
PL
        is($out, "admin=0 text=BUILTIN\\Administrators\n", 'nobody: 0, the text still set');
        my ($user, $why) = make_test_user();
        skip "no test user: $why", 1 unless $user;
        skip 'the host has no sudo group', 1 unless $user->{sudo};
        ($code, $out) = run_as($user->{name}, <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
print "admin=", KALDOR::Install::System::Win32::API::IsLocalAdmin(), "\n";
0;
PL
        is($out, "admin=0\n", 'a sudo member not running as root: present but not enabled');
    }
};

subtest 'host users and groups' => sub {
    my @pw = getpwnam('root');
    is_deeply([call('infoUser', 'root')], [0, $pw[6], $pw[7]], 'comment (GECOS) and home');
    is_deeply([call('infoUser', 'no such user')], [-1], 'unknown user');
    is_deeply([call('infoUser', 'root', 'surely wrong')], [1326], 'a refused password');
    is_deeply([call('infoUser', 'root', '', '', 'NODOMAIN')], [-9999], 'no controller');
    my @groups = call('GetUsersLocalGroups', 'root');
    is_deeply([@groups[0, 1]], ['Administrators', 'Users'], 'root: the built-in groups first');
    ok((grep { $_ eq 'root' } @groups), 'and its host group');
    my ($code, $members) = call('getLocalGroupMembers', 'Administrators');
    is($code, 0, 'members of the administrators');
    is($members->[0], "$computer\\root", 'root first');
    is_deeply([call('getLocalGroupMembers', 'no such group')], [2220, []], 'unknown group');
    is_deeply([call('infoLocalGroup', 'nogroup')], [0, ''], 'a host group has no comment');
    like((call('infoLocalGroup', 'Administrators'))[1], qr/^Administrators have complete/,
         'the built-in comment');
    is_deeply([call('infoLocalGroup', 'no such group')], [2], 'unknown local group');
    is(call('deleteUser', 'root'), 2, 'host users cannot be deleted');
    is(call('RemoveLocalGroup', 'nogroup'), -1, 'nor host groups');
    is(call('deleteProfile', $root_sid), 1, 'nor profiles');
    is(call('deleteProfile', 'not a sid'), 1, 'an invalid SID');

    my ($user, $why) = make_test_user();
    SKIP: {
        skip "no test user: $why", 5 unless $user;
        my $name = $user->{name};
        is_deeply([call('infoUser', $name)], [0, $user->{comment}, $user->{home}],
                  'a new host user is seen at once');
        is_deeply([call('infoUser', $name, $user->{password})], [0, $user->{comment}, $user->{home}],
                  'its password against the shadow database');
        is_deeply([call('infoUser', $name, 'Test-Pass-2')], [1326], 'a wrong one');
        my @its = call('GetUsersLocalGroups', "$computer\\$name");
        is($its[0], $user->{sudo} ? 'Administrators' : 'Users',
           'a sudo member belongs to the administrators');
        skip 'setpriv is not available', 1 unless have_setpriv();
        my ($code, $out) = run_as('nobody', <<"PL");
bootstrap KALDOR::Install::System::Win32::API;
print join('|', KALDOR::Install::System::Win32::API::infoUser('$name', '$user->{password}')), "\\n";
0;
PL
        is($out, "1326\n", 'without access to the shadow database every logon fails');
    }
};

subtest 'creating users and groups' => sub {
    is_deeply([call('createUser', '')], [2202, 'The specified username is invalid. '],
              'an empty name, with the system text');
    is_deeply([call('createUser', 'root', 'pw')], [2224, 'The account already exists. '],
              'an existing account');
    is((call('createUser', 'x' x 21))[0], 2202, 'a name of 21 characters');
    is((call('createUser', 'a/b'))[0], 2202, 'a name with a slash');
    is_deeply([call('createUser', 'lmxnew', 'pw', 'c', '', 'NODOMAIN')], [-9999, ''],
              'a domain without a controller');
    is_deeply([call('createUser', 'lmxnew', 'pw', 'c', '\\\\elsewhere')],
              [53, 'The network path was not found. '], 'another server is unreachable');
    is_deeply([call('createUser', "lmx\0new", 'pw')], [undef], 'a NUL in the name');
    is_deeply([call('createUser', 'lmxnew', "p\0w")], [undef], 'a NUL in the password');
    is_deeply([call('createUser', 42)], [undef], 'a number is no name');
    is_deeply([call('createUser', (('a') x 8))], [undef], 'eight arguments');
    is(call('deleteUser', ''), -1, 'deleteUser: empty name');
    is(call('deleteUser', 'no such user'), 2, 'deleteUser: unknown user');
    is(call('createGroup', ''), -1, 'createGroup: empty name');
    is(call('deleteGroup', ''), -2, 'deleteGroup: empty name');
    is(call('deleteGroup', 'x', '', 'NODOMAIN'), -9999, 'deleteGroup: no controller');
    is_deeply([call('infoGroup', 'no such group')], [2], 'infoGroup: unknown group');
    is(call('addUserToGroup', '', 'root'), -2, 'addUserToGroup: empty group');
    is(call('addUserToGroup', 'g', ''), -1, 'addUserToGroup: empty user');
    is(call('addUserToGroup', 'g', 'root'), 2, 'addUserToGroup: unknown group');
    is(call('AddLocalGroup', 'x' x 21, 'too long'), 1, 'AddLocalGroup: 21 characters');
    is(call('AddLocalGroup', 'nogroup', ''), -1, 'AddLocalGroup: an existing group');
    is(call('AddLocalGroup', 'x'), undef, 'AddLocalGroup: one argument');
    is(call('AddLocalGroup', 'x', undef), undef, 'AddLocalGroup: a comment that is no string');
    is(call('RemoveLocalGroup', 'x' x 21), -1, 'RemoveLocalGroup: 21 characters');
    is(call('RemoveLocalGroup', 'no such group'), -1, 'RemoveLocalGroup: unknown group');
    is(call('createGroup', 'g' x 257), 2, 'createGroup: a name of 257 characters');
    is(call('createGroup', 'a,b'), 2, 'createGroup: a comma in the name');
    is(call('createGroup', "g\0x"), undef, 'createGroup: a NUL in the name');
    is(call('addUserToGroup', 'g', ['root']), undef, 'addUserToGroup: a reference is no name');
};

subtest 'local group members and rights' => sub {
    plan skip_all => 'needs root' unless $> == 0;
    is_deeply([call('addLocalGroupMember', 'Administrators', $root_sid)], [0],
              'a member already in the group counts as added');
    is_deeply([call('addLocalGroupMember', 'root', $root_sid)], [0], 'also in its host group');
    is_deeply([call('addLocalGroupMember', 'Administrators', 'S-1-5-x')], [-1], 'an invalid SID');
    is_deeply([call('addLocalGroupMember', 'no such group', $root_sid)],
              [2220, 'The group name could not be found. '], 'an unknown group');
    is_deeply([call('addLocalGroupMember', 'Administrators', 'S-1-5-21-1-2-3-4000')],
              [1387, 'A member could not be added to or removed from the local group because the '
                     . 'member does not exist. '], 'a SID without an account');
    is(call('addAccountRights', 'bad sid', ['SeServiceLogonRight']), -1, 'an invalid SID');
    is(call('addAccountRights', $root_sid, ['SeNoSuchRight']), 1313, 'an unknown right');
    is(call('addAccountRights', $root_sid, 'SeServiceLogonRight'), undef, 'not an array');
    is(call('addAccountRights', $root_sid, []), 0, 'no rights: nothing to do');
};

# Runs Perl code in a second process of the kit, as this user; its output.
sub in_second_process {
    my ($code) = @_;
    my $dir = temp_dir();
    my (undef, $out) = run_kit(kit() . '/ryninst',
                               ['--script', write_file("$dir/second.pl", "$code\n0;\n")]);
    return $out;
}

sub rid_of { return ($_[0] =~ /-(\d+)$/)[0] }

subtest 'users and groups in the store' => sub {
    plan skip_all => 'needs root (the machine part is writable by root)' unless $> == 0;
    my $db = "$store/machine.db";
    is_deeply([call('createUser', 'lmxuser1', 'Secret-1', 'First user')], [0], 'a new user');
    is_deeply([call('createUser', 'LMXUSER1', 'pw')], [2224, 'The account already exists. '],
              'the same name in other case: 2224 with its text');
    is_deeply([call('infoUser', 'lmxuser1')], [0, 'First user'], 'its comment, and no home');
    is_deeply([call('infoUser', 'lmxuser1', 'Secret-1')], [0, 'First user'], 'it logs on');
    is_deeply([call('infoUser', 'lmxuser1', 'Secret-2')], [1326], 'not with another password');
    my (undef, $user_sid, $use) = call('lookupAccount', 'lmxuser1');
    is($use, 1, 'a user');
    cmp_ok(rid_of($user_sid), '>=', 2**31, 'with a relative id above every host id');
    my $hash = sql($db, "SELECT password_hash FROM acct_users WHERE name = 'lmxuser1'");
    like($hash, qr/^\$y\$[^\$]+\$[^\$]+\$[^\$]+$/, 'the password is kept as a salted yescrypt hash');
    unlike($hash, qr/Secret/, 'and never in clear');

    is(call('createGroup', 'lmxglobal', 'Global one'), 0, 'a global group');
    is_deeply([call('infoGroup', 'lmxglobal')], [0, 'Global one'], 'with its comment');
    is(call('createGroup', 'lmxuser1'), 2, 'not under a user\'s name');
    is(call('addUserToGroup', 'lmxglobal', 'lmxuser1'), 0, 'a member');
    is(call('addUserToGroup', 'lmxglobal', 'lmxuser1'), 2, 'a second time: the call fails');
    is(call('AddLocalGroup', 'lmxlocal', 'Local one'), 0, 'a local group');
    is(call('AddLocalGroup', 'lmxglobal', ''), -1, 'not under a global group\'s name');
    is_deeply([call('infoLocalGroup', 'lmxlocal')], [0, 'Local one'], 'its comment');
    my (undef, $group_sid) = call('lookupAccount', 'lmxglobal');
    is_deeply([call('addLocalGroupMember', 'lmxlocal', $user_sid)], [0], 'a user in the local group');
    is_deeply([call('addLocalGroupMember', 'lmxlocal', $user_sid)], [0],
              'again: 1378 counts as success');
    is_deeply([call('addLocalGroupMember', 'lmxlocal', $group_sid)], [0], 'and the global group');
    is_deeply([call('getLocalGroupMembers', 'lmxlocal')],
              [0, ["$computer\\lmxuser1", "$computer\\lmxglobal"]], 'members in the order added');
    is(sql($db, "SELECT count(*) FROM acct_members WHERE member_sid = '$user_sid'"), 2,
       'each membership stored once');
    my ($code, $groups) = call('getGroups', 'lmxuser1');
    is($code, 0, 'getGroups of a store user');
    is_deeply($groups, ['lmxglobal', "$computer\\Users", "$computer\\lmxlocal"],
              'its global group, then its local groups');
    my @rid = map { rid_of((call('lookupAccount', $_))[1]) } qw(lmxuser1 lmxglobal lmxlocal);
    is_deeply([map { $_ - $rid[0] } @rid], [0, 1, 2], 'users and groups share one sequence');

    is(call('addAccountRights', $user_sid, ['SeServiceLogonRight', 'SeBatchLogonRight']), 0,
       'rights for the store user');
    is(in_second_process(<<"PL"), "0|0 First user|0 Local one|$computer\\lmxuser1,$computer\\lmxglobal\n",
bootstrap KALDOR::Install::System::Win32::API;
my \$a = 'KALDOR::Install::System::Win32::API';
print join('|', \$a->can('addAccountRights')->('$user_sid', ['SeServiceLogonRight']),
           join(' ', \$a->can('infoUser')->('lmxuser1', 'Secret-1')),
           join(' ', \$a->can('infoLocalGroup')->('lmxlocal')),
           join(',', \@{ (\$a->can('getLocalGroupMembers')->('lmxlocal'))[1] })), "\\n";
PL
       'a second process sees the users, groups and members and adds a right it holds');
    is(sql($db, "SELECT group_concat(name, ',') FROM (SELECT name FROM acct_rights "
                . "WHERE sid = '$user_sid' ORDER BY name)"),
       'SeBatchLogonRight,SeServiceLogonRight', 'the rights persist, each once');

    is(call('deleteUser', 'lmxuser1'), 0, 'the user is deleted');
    is_deeply([call('infoUser', 'lmxuser1')], [-1], 'and gone');
    is(sql($db, "SELECT (SELECT count(*) FROM acct_members WHERE member_sid = '$user_sid')"
                . " + (SELECT count(*) FROM acct_rights WHERE sid = '$user_sid')"), 0,
       'with its memberships and rights');
    is_deeply([call('getLocalGroupMembers', 'lmxlocal')], [0, ["$computer\\lmxglobal"]],
              'the local group keeps its other member');
    is_deeply([call('createUser', 'lmxuser1', 'pw')], [0], 'the name can be used again');
    cmp_ok(rid_of((call('lookupAccount', 'lmxuser1'))[1]), '>', $rid[2],
           'with a new relative id: none is given out twice');
    is(call('deleteGroup', 'lmxglobal'), 0, 'the global group is deleted');
    is_deeply([call('getLocalGroupMembers', 'lmxlocal')], [0, []], 'and leaves the local group');
    is(call('RemoveLocalGroup', 'lmxlocal'), 0, 'the local group is removed');
    is_deeply([call('getLocalGroupMembers', 'lmxlocal')], [2220, []], 'and gone');
    is(call('deleteUser', 'lmxuser1'), 0, 'clean up');

    my @children = map {
        my $pid = fork() // die "fork: $!\n";
        POSIX::_exit((call('createUser', 'lmxrace', 'pw'))[0] == 0 ? 0 : 1) if $pid == 0;
        $pid;
    } 1 .. 4;
    my @codes = sort map { waitpid($_, 0); $? >> 8 } @children;
    is_deeply(\@codes, [0, 1, 1, 1], 'four processes make one user: exactly one succeeds');
    is(sql($db, "SELECT count(*) FROM acct_users WHERE name = 'lmxrace'"), 1, 'and it is there once');
};

subtest 'store-managed members of the administrators' => sub {
    plan skip_all => 'needs root and setpriv' unless have_setpriv();
    my ($nobody_sid) = (call('lookupAccount', 'nobody'))[1];
    is(call('AddLocalGroup', 'lmxstaff', ''), 0, 'a local group');
    is_deeply([call('addLocalGroupMember', 'lmxstaff', $nobody_sid)], [0], 'nobody joins it');
    is_deeply([call('addLocalGroupMember', 'Administrators', $nobody_sid)], [0],
              'and the built-in administrators');
    my @groups = call('GetUsersLocalGroups', 'nobody');
    is($groups[0], 'Administrators', 'nobody is listed as an administrator');
    ok((grep { $_ eq 'lmxstaff' } @groups), 'and a member of the store group');
    my (undef, $out) = run_as('nobody', <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
my $a = 'KALDOR::Install::System::Win32::API';
print join('|', $a->can('IsLocalAdmin')->(), $a->can('GetUsersLocalGroups')->()), "\n";
0;
PL
    like($out, qr/^0\|Administrators\|.*\blmxstaff\b/,
         'without root the administrators group is present but not enabled');
    is(sql("$store/machine.db", "DELETE FROM acct_members WHERE member_sid = '$nobody_sid'; "
                                . "SELECT changes()"), 2, 'clean up');
    is(call('RemoveLocalGroup', 'lmxstaff'), 0, 'clean up the group');
};

subtest 'a store that refuses changes' => sub {
    SKIP: {
        skip 'needs root and setpriv', 2 unless have_setpriv();
        my (undef, $out) = run_as('nobody', <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
my $a = 'KALDOR::Install::System::Win32::API';
print join('|', $a->can('createUser')->('lmxnobody', 'pw'), $a->can('AddLocalGroup')->('lmxng', ''),
           $a->can('addAccountRights')->('S-1-5-18', ['SeServiceLogonRight'])), "\n";
0;
PL
        is($out, "5|Access is denied. |-1|5\n", 'without the right to write: 5, or -1');
        is_deeply([call('infoUser', 'lmxnobody')], [-1], 'no account was made');
    }
    SKIP: {
        skip 'needs root to mount', 3 unless $> == 0;
        local $ENV{LMX_STORE_DIR};
        my $ro = fresh_store();
        is_deeply([call('createUser', 'lmxkept', 'pw', 'Kept')], [0], 'a user in a store');
        skip 'no read-only bind mount here', 2
          unless system("mount --bind '$ro' '$ro' 2>/dev/null") == 0;
        if (system("mount -o remount,bind,ro '$ro' 2>/dev/null") != 0) {
            system("umount '$ro'");
            skip 'no read-only bind mount here', 2;
        }
        my $out = in_second_process(<<'PL');
bootstrap KALDOR::Install::System::Win32::API;
my $a = 'KALDOR::Install::System::Win32::API';
print join('|', $a->can('createUser')->('lmxro', 'pw'), $a->can('infoUser')->('lmxkept')), "\n";
PL
        system("umount '$ro'");
        is($out, "5|Access is denied. |0|Kept\n", 'a store on a read-only mount: 5, and still read');
        is_deeply([call('infoUser', 'lmxro')], [-1], 'no account was made');
    }
    my $damaged = temp_dir();
    write_file("$damaged/machine.db", "not a database\n" x 100);
    local $ENV{LMX_STORE_DIR} = $damaged;
    is_deeply([call('createUser', 'lmxbroken', 'pw')],
              [1009, 'The configuration registry database is corrupt. '], 'a damaged store: 1009');
    is_deeply([call('infoUser', 'lmxbroken')], [-1], 'nothing was made');
    is(call('AddLocalGroup', 'lmxbroken', ''), -1, 'no local group either');
    is_deeply([call('infoUser', 'root')], [0, (getpwnam('root'))[6, 7]],
              'host users are still there');
    is(call('addLocalGroupMember', 'Administrators', $root_sid), 0,
       'a host member already in a built-in group needs no store');
};

subtest 'no domain here' => sub {
    my ($code, $groups) = call('getGroups', "$computer\\root");
    is($code, -99990000, 'no controller for the domain, both membership calls succeed');
    is($groups->[0], "$computer\\Administrators", 'the local groups are still there');
    ok((grep { $_ eq "$computer\\root" } @$groups), 'as COMPUTER\\group');
    local $ENV{LMX_INSTALLER_PDC_FLAGS} = '0';
    is((call('getGroups', "$computer\\root"))[0], -99990000, 'whatever the flag word');
    ($code, $groups) = call('getGroups', 'root');
    is($code, 0, 'without a domain');
    is_deeply([call('getGroups', 'NODOMAIN\\root')], [-99990000 + 2221, []],
              'a user of another domain is no local user');
    is_deeply([call('getGroups')], [undef], 'no account');
    is_deeply([call('getGroups', 1)], [undef], 'a number is no account');
};

subtest 'GetUsersLocalGroups prints the failing status' => sub {
    plan skip_all => 'setpriv is not available' unless have_setpriv();
    my ($code, $out) = run_as('nobody', <<'PL');
bootstrap KALDOR::Install::System::Win32::API;
my @r = KALDOR::Install::System::Win32::API::GetUsersLocalGroups('no such user');
print scalar(@r), defined $r[0] ? 'defined' : 'undef', "\n";
print join('|', KALDOR::Install::System::Win32::API::GetUsersLocalGroups()), "\n";
print defined(KALDOR::Install::System::Win32::API::GetUsersLocalGroups(1, 2)) ? "list\n" : "undef\n";
0;
PL
    is($out, "error number: 2221\n1undef\nUsers|nogroup\nundef\n",
       'the status once, then undef; the current user without an argument');
};

finish();
