# KALDOR::Install::System::Win32::SecurityInfo: owners and DACLs of files,
# directories and shares; the descriptor kept in the file's extended
# attribute, derived from the host when there is none, and applied to the
# permission bits and POSIX ACL that the kernel enforces.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish temp_dir write_file read_file run_kit);
use LmxTest::Users qw(run_as have_setpriv);

bootstrap KALDOR::Install::System::Win32::SecurityInfo;
my $class = 'KALDOR::Install::System::Win32::SecurityInfo';
sub c { no strict 'refs'; return &{"${class}::$_[0]"}() }

my $dir = temp_dir();
chmod 0755, $dir;
$ENV{LMX_STORE_DIR} = temp_dir();
my $attribute = $> == 0 ? 'security.NTACL' : 'user.NTACL';
my $admins = 'S-1-5-32-544';
my $everyone = 'S-1-1-0';
my @made_users;
END { local $?; system('userdel', $_) for @made_users }
my $have_getfacl = system('getfacl --version >/dev/null 2>&1') == 0;

sub winpath { return $_[0] =~ s{/}{\\}gr }

# Runs code with the owner's read and write bits on the file, as the
# user namespace of extended attributes asks for them.
sub with_owner_bits {
    my ($path, $code) = @_;
    my $mode = (stat $path)[2] & 07777;
    chmod $mode | 0600, $path;
    my $result = $code->();
    chmod $mode, $path;
    return $result;
}

# The stored descriptor's bytes (python3 reads extended attributes).
sub stored {
    my ($path) = @_;
    my $hex = with_owner_bits($path, sub {
        `python3 -c 'import os,sys; print(os.getxattr(sys.argv[1], sys.argv[2]).hex())' '$path' $attribute 2>/dev/null`
    });
    chomp $hex;
    return $hex eq '' ? undef : pack('H*', $hex);
}

sub store_bytes {
    my ($path, $bytes) = @_;
    my $hex = unpack('H*', $bytes);
    with_owner_bits($path, sub {
        system('python3', '-c', 'import os,sys; os.setxattr(sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3]))',
               $path, $attribute, $hex) == 0 or die "setxattr failed\n";
    });
}

sub dacl_of {
    my ($path) = @_;
    my $o = $class->new($path) or return undef;
    my ($list) = $o->GetDACL;
    return $list;
}

my $full_admins = { sid => $admins, mask => c('FILE_ALL_ACCESS'), mode => c('SET_ACCESS'),
                    inheritance => c('SUB_CONTAINERS_AND_OBJECTS_INHERIT') };

subtest 'objects, paths and the module-wide error' => sub {
    my $missing = "$dir/missing.txt";
    is($class->new($missing), undef, 'a missing path gives undef');
    is($class->GetLastError, 'cannot open ' . winpath($missing)
       . ': The system cannot find the file specified. ', 'the module-wide text after new');
    is($class->new(), undef, 'one argument is too few');

    my $file = write_file("$dir/plain.txt", "data\n");
    my $o = $class->new($file);
    ok($o, 'a file opens');
    is($o->GetObjectType, c('LMX_OBJECTTYPE_FILE'), 'a file is type 1');
    is($o->GetLastError, undef, 'a new object has no error');
    is($class->new(winpath($file)), undef, 'while it is open, the same file in backslashes does not open');
    like($class->GetLastError, qr/^cannot open \Q${\ winpath($file)}\E: The process cannot access the file because it is being used by another process\. $/,
         'the second opener gets the sharing violation');
    undef $o;
    ok($class->new(winpath($file)), 'once it is closed, the backslash form opens the same file');
    is($class->new($dir)->GetObjectType, 0, 'a directory is type 0');
    my $share = $class->new('NoSuchShare', 1);
    is($share->GetObjectType, 2, 'a share object is type 2 and opens nothing');
    is($share->GetDACL, undef, 'an unknown share has no DACL');
    is($share->GetLastError, 'cannot get security info of share NoSuchShare: This shared resource does not exist. ',
       'with the share text');
    is(KALDOR::Install::System::Win32::SecurityInfo::GetObjectType(bless {sess_obj => 1}, $class), undef,
       'a forged object has no type');
    is_deeply([map { c($_) } qw(GENERIC_READ FILE_ALL_ACCESS SET_AUDIT_FAILURE ACCESS_SYSTEM_SECURITY)],
              [0x80000000, 0x1F01FF, 6, 0x1000000], 'constants');
};

subtest 'SetDACL and GetDACL' => sub {
    my $file = write_file("$dir/set.txt", "keep me\n");
    my $o = $class->new($file);
    is($o->SetDACL([$full_admins]), 1, 'administrators get everything');
    my ($list, $defaulted) = $o->GetDACL;
    is_deeply($list, [{ %$full_admins, trustee => 'BUILTIN\\Administrators' }],
              'exactly that entry comes back, with the group\'s local name');
    is($defaulted, 0, 'the DACL is not defaulted');

    is($o->SetDACL([{ sid => 'S-1-5-x', mask => 1, mode => 2 }]), undef, 'an invalid SID string fails');
    is($o->GetLastError, 'cannot set ACE: invalid sid string', 'with its text');
    is($o->SetDACL([]), 1, 'an empty list returns 1');
    is($o->SetDACL, 1, 'no list returns 1');
    is($o->SetDACL({}), undef, 'a hash instead of a list gives undef');
    is_deeply(scalar(($o->GetDACL)[0]), [{ %$full_admins, trustee => 'BUILTIN\\Administrators' }],
              'none of these changed the DACL');

    is($o->SetDACL([{ trustee => 'Everyone', mask => c('FILE_READ_DATA'), mode => c('GRANT_ACCESS') },
                    { sid => $admins, mask => c('FILE_WRITE_DATA'), mode => c('DENY_ACCESS') }]), 1,
       'entries by name, and a deny entry');
    is_deeply(scalar(($o->GetDACL)[0]),
              [{ sid => $admins, trustee => 'BUILTIN\\Administrators', mask => 2, mode => 3, inheritance => 0 },
               { sid => $everyone, trustee => '\\Everyone', mask => 1, mode => 2, inheritance => 0 }],
              'deny first; names come back with their SIDs');
    is(read_file($file), "keep me\n", 'the data is untouched');
};

subtest 'the stored descriptor, moves and copies' => sub {
    my $file = write_file("$dir/moved.txt", "payload\n");
    my $entries = [{ sid => $everyone, mask => c('FILE_READ_DATA') | c('READ_CONTROL'), mode => 2, inheritance => 0 },
                   { sid => $admins, mask => c('FILE_ALL_ACCESS'), mode => 2, inheritance => 3 }];
    is($class->new($file)->SetDACL($entries), 1, 'set');
    my $bytes = stored($file);
    ok(defined $bytes, "kept in $attribute");
    is(unpack('C', $bytes), 1, 'self-relative revision 1');
    is(unpack('v', substr($bytes, 2, 2)) & 0x9004, 0x9004, 'self-relative, DACL present and protected');
    rename $file, "$dir/moved2.txt" or die;
    my $expected = dacl_of("$dir/moved2.txt");
    is(scalar(@$expected), 2, 'the DACL moved with the file');
    system('mv', "$dir/moved2.txt", "$dir/moved3.txt") == 0 or die;
    is_deeply(dacl_of("$dir/moved3.txt"), $expected, 'and with mv');
    system('cp', '--preserve=xattr', "$dir/moved3.txt", "$dir/copied.txt") == 0 or die;
    is_deeply(dacl_of("$dir/copied.txt"), $expected, 'cp --preserve=xattr copies it');
};

subtest 'a descriptor derived from the host' => sub {
    plan skip_all => 'getfacl is not installed' unless $have_getfacl;
    my $file = write_file("$dir/derived.txt", "x");
    chmod 0754, $file;
    my @acl = $> == 0 ? ('u:nobody:rw-', 'g:nogroup:-wx', 'm::rw-') : ();
    system('setfacl', '-m', join(',', @acl), $file) == 0 or die if @acl;
    my $o = $class->new($file);
    my ($code, $owner, $group) = $o->GetOwner;
    is($code, 0, 'GetOwner succeeds');
    my $user = getpwuid($>);
    like($owner, qr/^[^\\]+\\\Q$user\E$/, 'the owner is the uid\'s account');
    ok(defined $group, "the group: $group");
    my ($list) = $o->GetDACL;
    my ($domain_sid) = $list->[0]{sid} =~ /^(.*)-\d+$/;
    my %bits = (r => 0x120089, w => 0x120116, x => 0x1200A0);
    my @expected;
    for (split /\n/, `getfacl -n -p --omit-header '$file'`) {
        my ($tag, $id, $perm) = split /:/;
        next if $tag eq 'mask' || !$tag;
        if (/#effective:(\S+)/) { $perm = $1 }
        $perm =~ s/\s.*//;
        my $mask = 0;
        $mask |= $bits{$_} for grep { $_ ne '-' } split //, $perm;
        next unless $mask;
        $mask |= 0x40000 | 0x20000 if $tag eq 'user' && $id eq '';
        $id = $tag eq 'user' ? $> : (stat $file)[5] if $id eq '' && $tag ne 'other';
        push @expected, { mask => $mask, sid => $tag eq 'other' ? $everyone : $domain_sid . '-' . (1000 + $id) };
    }
    is_deeply([map { { mask => $_->{mask}, sid => $_->{sid} } } @$list], \@expected,
              'one allow entry per getfacl entry with effective bits, in its order');
    is_deeply([map { $_->{mode} } @$list], [(2) x @expected], 'all allow entries');
};

subtest 'bad input' => sub {
    my $file = write_file("$dir/bad.txt", "precious\n");
    my $o = $class->new($file);
    is($o->SetDACL([{ mask => 1, mode => 2 }]), undef, 'an entry without sid or trustee fails the call');
    is($o->GetLastError, 'cannot set new acl for ' . winpath($file) . ': The parameter is incorrect. ',
       'with the layer\'s reason');
    is($o->SetDACL([{ sid => $everyone, mask => 1 << 40, mode => 2 }]), undef, 'a mask beyond 32 bits fails');
    is($o->GetLastError, 'cannot set ACE: mask out of range', 'rather than being cut');
    is($o->SetDACL([{ sid => $everyone, mask => 0x0EE0FE01, mode => 2 }]), 1, 'undefined mask bits are kept');
    is((($o->GetDACL)[0])->[0]{mask}, 0x0EE0FE01, 'and come back as given');
    my @many = map { { sid => "S-1-5-21-1-2-3-" . (5000 + $_), mask => 1, mode => 1 } } 1 .. 10000;
    is($o->SetDACL(\@many), undef, '10,000 different trustees do not fit in one ACL');
    like($o->GetLastError, qr/^cannot set new acl for .*: No more memory is available for security information updates\. $/,
         'with its text');
    is($o->SetDACL([map { { sid => $everyone, mask => 1, mode => 2 } } 1 .. 10000]), 1,
       '10,000 entries for one trustee are one entry');
    is(scalar(@{ ($o->GetDACL)[0] }), 1, 'one entry');
    undef $o;

    my $good = stored($file);
    for ([truncated => substr($good, 0, length($good) - 3)],
         [corrupt => substr($good, 0, 16) . pack('V', 0xFFFF) . substr($good, 20)],
         [garbage => 'not a descriptor at all']) {
        my ($what, $bytes) = @$_;
        store_bytes($file, $bytes);
        my $bad = $class->new($file);
        is($bad->GetDACL, undef, "a $what stored descriptor gives undef");
        is($bad->GetLastError, 'cannot get security info of file ' . winpath($file)
           . ': The security descriptor structure is invalid. ', 'with the reason');
        is(($bad->GetOwner)[0], 10000 + 1338, 'GetOwner gives 10000 plus the code');
    }
    my $repair = $class->new($file);
    is($repair->SetDACL([$full_admins]), 1, 'SetDACL replaces a damaged descriptor');
    is(scalar(@{ ($repair->GetDACL)[0] }), 1, 'which reads again');
    is(with_owner_bits($file, sub { read_file($file) }), "precious\n", 'the data never changed');
};

subtest 'SetOwner' => sub {
    my $file = write_file("$dir/owned.txt", "o");
    my $o = $class->new($file);
    is($o->SetOwner('not a sid'), -1, 'an invalid SID string gives -1');
    is($o->GetLastError, undef, 'and sets no text');
    my ($list) = $o->GetDACL;
    my $mine = $list->[0]{sid};
    is($o->SetOwner($mine), 0, 'the own SID may be assigned');
    SKIP: {
        skip 'needs root to give a file away', 3 unless $> == 0;
        my ($domain_sid) = $mine =~ /^(.*)-\d+$/;
        my $nobody = getpwnam('nobody');
        is($o->SetOwner($domain_sid . '-' . (1000 + $nobody)), 0, 'root gives the file to nobody');
        is((stat $file)[4], $nobody, 'stat shows the new uid');
        like(($o->GetOwner)[1], qr/\\nobody$/, 'GetOwner names nobody');
    }
};

subtest 'inheritance stops at SetDACL' => sub {
    my $parent = "$dir/inherit";
    mkdir $parent or die;
    is($class->new($parent)->SetDACL([{ sid => $everyone, mode => 2, inheritance => 3,
                                        mask => c('FILE_ALL_ACCESS') }]), 1,
       'the directory passes everything on');
    my $child = write_file("$parent/child.txt", "c");
    chmod 0600, $child;
    is($class->new($child)->SetDACL([$full_admins]), 1, 'a DACL set on the child');
    my $bytes = stored($child);
    my $entries = unpack('v', substr($bytes, unpack('V', substr($bytes, 16, 4)) + 4, 2));
    is($entries, 1, 'holds exactly its own entry, nothing from the parent');
    is((stat $child)[2] & 07, 0, 'and Everyone has no bits on the host');
};

subtest 'shares keep their descriptor in the store' => sub {
    plan skip_all => 'needs root (the machine part is writable by root)' unless $> == 0;
    bootstrap KALDOR::Install::System::Win32::API;
    my $shared = temp_dir();
    is(KALDOR::Install::System::Win32::API::ShareAdd('Tools', $shared), 0, 'a share');
    my $share = $class->new('Tools', 1);
    is_deeply(scalar(($share->GetDACL)[0]),
              [{ sid => $everyone, trustee => '\\Everyone', mask => 0x1200A9, mode => 2, inheritance => 0 }],
              'without a stored descriptor Everyone may read');
    is_deeply([$share->GetOwner], [0, 'BUILTIN\\Administrators', 'NT AUTHORITY\\SYSTEM'], 'the default owner');
    is($share->SetDACL([$full_admins]), 1, 'SetDACL on the share');
    my $computer = KALDOR::Install::System::Win32::API::GetComputerName();
    my ($code, $out) = run_kit(LmxTest::kit() . '/ryninst', ['--script', write_file("$dir/share.pl", <<"PL")]);
bootstrap KALDOR::Install::System::Win32::SecurityInfo;
my (\$l) = KALDOR::Install::System::Win32::SecurityInfo->new('\\\\\\\\$computer\\\\Tools', 1)->GetDACL;
print join('|', map { "\$_->{sid}:\$_->{mask}" } \@\$l), "\\n";
0;
PL
    is($out, "$admins:" . 0x1F01FF . "\n", 'another process reads it from the store, by \\\\COMPUTER\\share');
    is($share->SetOwner($admins), 0, 'an owner for the share');
    is(($share->GetOwner)[1], 'BUILTIN\\Administrators', 'kept');
    is(stored($shared), undef, 'the shared directory itself is untouched');
    is(KALDOR::Install::System::Win32::API::ShareDel('Tools'), 0, 'the share goes');
    is($share->GetDACL, undef, 'and with it its descriptor');
};

subtest 'the host agrees' => sub {
    plan skip_all => 'needs root and setpriv to make two users' unless have_setpriv();
    plan skip_all => 'useradd is missing' unless system('command -v useradd >/dev/null') == 0;
    my @users = ("lmxsa$$", "lmxsb$$");
    for (@users) {
        system('useradd', '-M', '-N', '-g', 'nogroup', '-s', '/usr/sbin/nologin', $_) == 0 or die;
        push @made_users, $_;
    }
    my $file = write_file("$dir/agree.txt", "secret\n");
    my ($domain_sid) = dacl_of($file)->[0]{sid} =~ /^(.*)-\d+$/;
    my $sid = $domain_sid . '-' . (1000 + getpwnam($users[0]));
    is($class->new($file)->SetDACL([{ sid => $sid, mask => 0x120089, mode => 2 }]), 1,
       'read for the first user, nothing for Everyone');
    my $reads = sub {
        my ($user) = @_;
        my ($code, $out) = run_kit('/usr/bin/setpriv', ["--reuid=$user", '--regid=nogroup', '--clear-groups',
                                                        '/bin/cat', $file]);
        return $code == 0 && $out eq "secret\n";
    };
    ok($reads->($users[0]), 'the first user can read the file');
    ok(!$reads->($users[1]), 'the second cannot');
    SKIP: {
        skip 'getfacl is not installed', 1 unless $have_getfacl;
        like(`getfacl -p '$file' 2>/dev/null`, qr/^user:$users[0]:r--$/m, 'getfacl shows the named entry');
    }
};

subtest 'as an ordinary user' => sub {
    plan skip_all => 'needs root and setpriv to run as nobody' unless have_setpriv();
    my $home = "$dir/nobody";
    mkdir $home or die;
    chown scalar(getpwnam('nobody')), -1, $home;
    my ($code, $out, $err) = run_as('nobody', <<"PL" . <<'PL');
my \$d = '$home';
PL
bootstrap KALDOR::Install::System::Win32::SecurityInfo;
my $c = 'KALDOR::Install::System::Win32::SecurityInfo';
open(my $f, '>', "$d/f") or die; print $f "mine"; close $f;
my $o = $c->new("$d/f");
print $o->SetDACL([{ sid => 'S-1-5-32-544', mask => 0x1F01FF, mode => 2 }]), "\n";
undef $o;
my ($l) = $c->new("$d/f")->GetDACL;
print scalar(@$l), " $l->[0]{sid}\n";
printf "%03o\n", (stat "$d/f")[2] & 0777;
print $c->new("$d/f")->SetOwner('S-1-5-18'), "\n";
$o = $c->new("$d/f"); $o->SetOwner('S-1-5-18');
print $o->GetLastError, "\n";
0;
PL
    is($code, 0, 'the script ran') or diag($err);
    my @lines = split /\n/, $out;
    is($lines[0], 1, 'SetDACL as the owner');
    is($lines[1], '1 S-1-5-32-544', 'the descriptor reads back though the owner lost its bits');
    like($lines[2], qr/^0[0-7]0$/, 'Everyone has nothing on the host');
    is($lines[3], -1, 'the local system cannot be made the owner');
    like($lines[4], qr/^SetSecurityInfo \(.*,OWNER_SECURITY_INFORMATION\) failed: This security ID may not be assigned as the owner of this object\. $/,
         'with the text');
};

finish();
