# KALDOR::Install::System::Win32::Registry over the system store: argument
# counts, output arguments written in place (and left alone when read-only
# where that is the rule), value conversions, constants, the -1 / error
# code split, and the registry's own rules as Perl code meets them.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish);
use LmxTest::Registry qw(fresh_store sql);

BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
package KALDOR::Install::System::Win32::Registry;
use Test::More;

my $store = LmxTest::Registry::fresh_store();

sub create {
    my ($root, $path, $options) = @_;
    my ($key, $disposition);
    my $rc = RegCreateKeyEx($root, $path, 0, undef, $options || 0, KEY_ALL_ACCESS, undef, $key,
                            $disposition);
    die "RegCreateKeyEx $path: $rc\n" if $rc;
    return wantarray ? ($key, $disposition) : $key;
}

sub query {
    my ($key, $name) = @_;
    my ($type, $data, $size) = ('untouched') x 3;
    my $rc = RegQueryValueEx($key, $name, 0, $type, $data, $size);
    return [$rc, $type, $data, $size];
}

sub stored_length {
    my ($name) = @_;
    my $user_part = (glob "$store/users/*.db")[0];
    return LmxTest::Registry::sql($user_part, "SELECT length(data) FROM reg_values WHERE name = '$name'");
}

subtest 'constants' => sub {
    is(HKEY_LOCAL_MACHINE, -2147483646, 'HKEY_LOCAL_MACHINE compares equal to -2147483646');
    is_deeply([HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS, HKEY_PERFORMANCE_DATA,
               HKEY_CURRENT_CONFIG, HKEY_DYN_DATA],
              [-2147483648, -2147483647, -2147483645, -2147483644, -2147483643, -2147483642],
              'the other roots');
    is_deeply([REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ], [1, 2, 3, 4, 7],
              'value types');
    is_deeply([KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ENUMERATE_SUB_KEYS,
               KEY_NOTIFY, KEY_CREATE_LINK, KEY_READ, KEY_EXECUTE, KEY_WRITE, KEY_ALL_ACCESS],
              [1, 2, 4, 8, 0x10, 0x20, 0x20019, 0x20019, 0x20006, 0xF003F], 'access rights');
    is_deeply([REG_OPTION_NON_VOLATILE, REG_OPTION_VOLATILE, REG_OPTION_BACKUP_RESTORE,
               REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY], [0, 1, 4, 1, 2],
              'options and dispositions');
};

subtest 'wrong argument counts do nothing and give -1' => sub {
    my $result = 'kept';
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_READ), -1, 'RegOpenKeyEx with 4');
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_READ, $result, 1), -1, 'and with 6');
    is($result, 'kept', 'nothing written');
    is(RegCreateKeyEx(HKEY_CURRENT_USER, 'Software\\Counted', 0, undef, 0, KEY_ALL_ACCESS, undef,
                      $result), -1, 'RegCreateKeyEx with 8');
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software\\Counted', 0, KEY_READ, $result), 2,
       'and no key was made');
    is(RegCloseKey(), -1, 'RegCloseKey with none');
    is(RegDeleteKey(HKEY_CURRENT_USER), -1, 'RegDeleteKey with 1');
    is(RegDeleteValue(HKEY_CURRENT_USER), -1, 'RegDeleteValue with 1');
    is(RegQueryValueEx(HKEY_CURRENT_USER, 'x', 0, $result, $result), -1, 'RegQueryValueEx with 5');
    is(RegSetValueEx(HKEY_CURRENT_USER, 'x', 0, REG_SZ, 'y'), -1, 'RegSetValueEx with 5');
    is(RegEnumValue(HKEY_CURRENT_USER, 0, $result, 0, 0, $result, $result), -1, 'RegEnumValue with 7');
    is(RegEnumKeyEx(HKEY_CURRENT_USER, 0, $result, $result, 0, 0, 0), -1, 'RegEnumKeyEx with 7');
    is(RegQueryInfoKey(HKEY_CURRENT_USER, (0) x 10), -1, 'RegQueryInfoKey with 11');
    is(ExpandEnvironmentStrings('%HOME%', $result), -1, 'ExpandEnvironmentStrings with 2');
    is($result, 'kept', 'nothing written by any of them');
};

subtest 'opening and creating keys' => sub {
    my $result = 'unchanged';
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software\\Missing', 0, KEY_READ, $result), 2,
       'a missing key gives 2');
    is($result, 'unchanged', 'and leaves $result alone');
    my ($key, $disposition) = create(HKEY_CURRENT_USER, 'Software\\Test\\Deep');
    is($disposition, REG_CREATED_NEW_KEY, 'created');
    ok($key > 0 && $key == unpack('l', pack('l', $key)), 'a handle fits in 32 bits');
    my (undef, $again) = create(HKEY_CURRENT_USER, 'SOFTWARE\\test\\deep');
    is($again, REG_OPENED_EXISTING_KEY, 'opened again without regard to case');
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software\\TEST', 0, KEY_READ, $result), 0, 'opened');
    my ($name, $length) = ('', 'skipped');
    is(RegEnumKeyEx($result, 0, $name, $length, 0, 0, 0, 0), 0, 'its subkey');
    is_deeply([$name, $length], ['Deep', 4], 'keeps the case it was created with');
    is(RegCloseKey($result), 0, 'closed');
    is(RegCloseKey($result), -1, 'closing twice fails');
    is(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test\0\\Deep", 0, KEY_READ, $result), 87,
       'a name with a NUL byte is refused, not cut short');
    is(RegOpenKeyEx(HKEY_CURRENT_USER, '\\Software', 0, KEY_READ, $result), 161,
       'a leading backslash is a bad path');
    my $long = 'k' x 256;
    is(RegCreateKeyEx($key, $long, 0, undef, 0, KEY_ALL_ACCESS, undef, $result, $disposition), -1,
       'a name of 256 characters cannot be created');
    is(RegOpenKeyEx($key, $long, 0, KEY_READ, $result), 87, 'nor opened (87)');
    is(RegOpenKeyEx(HKEY_PERFORMANCE_DATA, 'x', 0, KEY_READ, $result), 6, 'HKPD is no root here');
    eval { RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_READ, 'literal') };
    like($@, qr/Modification of a read-only value attempted/,
         'a read-only $result raises Perl\'s error');
    RegCloseKey($key);
};

subtest 'reading and writing values' => sub {
    my $key = create(HKEY_CURRENT_USER, 'Software\\Values');
    is(RegSetValueEx($key, 'multi', 0, REG_MULTI_SZ, ['a', 'b', 'c'], 0), 0, 'REG_MULTI_SZ');
    is_deeply(query($key, 'multi'), [0, REG_MULTI_SZ, ['a', 'b', 'c'], 7],
              'reads back as a new array; the size counts every NUL');
    is(RegSetValueEx($key, 'none', 0, REG_MULTI_SZ, [], 0), 0, 'an empty list');
    is(stored_length('none'), 1, 'is stored as one NUL');
    is_deeply(query($key, 'none'), [0, REG_MULTI_SZ, [], 1], 'and reads as an empty array');
    is(RegSetValueEx($key, 'notalist', 0, REG_MULTI_SZ, 'a string', 0), -1,
       'REG_MULTI_SZ needs an array reference');
    is(query($key, 'notalist')->[0], -1, 'and nothing was written');

    is(RegSetValueEx($key, 'sz', 0, REG_SZ, 'hello', 0), 0, 'REG_SZ with size 0');
    is(stored_length('sz'), 6, 'stores the terminator');
    is_deeply(query($key, 'sz'), [0, REG_SZ, 'hello', 5], 'reads the string and its length');
    is(RegSetValueEx($key, 'cut', 0, REG_SZ, "one\0two", 0), 0, 'a string with a NUL');
    is_deeply(query($key, 'cut'), [0, REG_SZ, 'one', 3], 'reads up to the NUL');
    is(RegSetValueEx($key, 'exp', 0, REG_EXPAND_SZ, '%HOME%\\x', 9), 0, 'REG_EXPAND_SZ, size 9');
    is_deeply(query($key, 'exp'), [0, REG_EXPAND_SZ, '%HOME%\\x', 8], 'not expanded');
    is(RegSetValueEx($key, 'past', 0, REG_SZ, 'abc', 10), -1,
       'a size reaching past the data is refused');

    is(RegSetValueEx($key, 'dw', 0, REG_DWORD, 0xFFFFFFFF, 0), 0, 'REG_DWORD');
    is_deeply(query($key, 'dw'), [0, REG_DWORD, 4294967295, 4], '0xFFFFFFFF reads as 4294967295');
    RegSetValueEx($key, 'neg', 0, REG_DWORD, -2, 0);
    is(query($key, 'neg')->[2], 4294967294, 'a negative number keeps its low 32 bits');
    RegSetValueEx($key, 'bin', 0, REG_BINARY, "\0\1\2\xFF", 4);
    is_deeply(query($key, 'bin'), [0, REG_BINARY, "\0\1\2\xFF", 4], 'REG_BINARY exactly');
    RegSetValueEx($key, 'empty', 0, REG_BINARY, 'ignored', 0);
    is_deeply(query($key, 'empty'), [0, REG_BINARY, '', 0], 'size 0 writes an empty value');
    for my $type (11, 0) {
        RegSetValueEx($key, "type$type", 0, $type, '12345678', 8);
        is_deeply(query($key, "type$type"), [-1, ('untouched') x 3],
                  "type $type cannot be read and nothing is written");
    }
    my $data;
    is(RegQueryValueEx($key, 'sz', 0, undef, $data, undef), 0, 'literal undef for $type and $size');
    is($data, 'hello', 'still delivers $data');
    eval { RegQueryValueEx($key, 'sz', 0, undef, 'literal', undef) };
    like($@, qr/read-only/, 'a read-only $data raises Perl\'s error');
    is(query($key, 'missing')->[0], -1, 'a missing value gives -1');
    is(RegSetValueEx($key, "nul\0name", 0, REG_SZ, 'x', 0), -1, 'a value name with a NUL is refused');
    is(RegSetValueEx($key, '', 0, REG_SZ, 'default', 0), 0, 'the default value');
    is(query($key, undef)->[2], 'default', 'named "" (undef reads it too)');
    is(RegDeleteValue($key, 'missing'), 2, 'deleting a missing value gives 2');
    is(RegDeleteValue($key, 'DW'), 0, 'deleting without regard to case');
    is(RegSetValueEx($key, 'huge', 0, REG_BINARY, 'x' x (16 * 1024 * 1024 + 1), 16 * 1024 * 1024 + 1),
       -1, 'a value over 16 MiB is refused');
    RegCloseKey($key);
};

subtest 'enumerating and counting' => sub {
    my $key = create(HKEY_CURRENT_USER, 'Software\\Enum');
    RegCloseKey(create($key, $_)) for qw(beta Alpha gamma);
    RegSetValueEx($key, $_, 0, REG_SZ, "value of $_", 0) for qw(z a m);
    my @subkeys;
    my ($i, $name, $length) = (0);
    push(@subkeys, $name), $i++ while RegEnumKeyEx($key, $i, $name, $length, 0, 0, 0, 0) == 0;
    is_deeply(\@subkeys, [qw(Alpha beta gamma)], 'subkeys in case-insensitive order');
    is(RegEnumKeyEx($key, 3, $name, $length, 0, 0, 0, 0), -1, 'ends with -1 after the last');
    my @values;
    my ($type, $data, $size, $namelen) = (undef, undef, undef, 'not written');
    for (my $j = 0; RegEnumValue($key, $j, $name, $namelen, 0, $type, $data, $size) == 0; ++$j) {
        push @values, [$name, $type, $data, $size];
    }
    is_deeply(\@values, [map { [$_, REG_SZ, "value of $_", 10] } qw(z a m)],
              'values in the order they were first set');
    is($namelen, 'not written', 'namelen is not written');
    RegSetValueEx($key, 'unreadable', 0, 11, '12345678', 8);
    is(RegEnumValue($key, 3, $name, 0, 0, $type, $data, $size), -1,
       'a value of an unsupported type ends the enumeration with -1');
    my ($subkey_count, $value_count) = ('', '');
    is(RegQueryInfoKey($key, 0, 0, 0, $subkey_count, 0, 0, $value_count, 0, 0, 0, 0), 0,
       'RegQueryInfoKey');
    is_deeply([$subkey_count, $value_count], [3, 4], 'counts subkeys and values');
    is(RegQueryInfoKey($key, 0, 0, 0, 7, 0, 0, 8, 0, 0, 0, 0), 0, 'read-only counts are skipped');
    RegCloseKey($key);
};

subtest 'deleting keys and rights of handles' => sub {
    my $key = create(HKEY_CURRENT_USER, 'Software\\Gone\\Child');
    is(RegDeleteKey(HKEY_CURRENT_USER, 'Software\\Gone'), 5, 'a key with subkeys gives 5');
    is(RegDeleteKey(HKEY_CURRENT_USER, 'Software\\Gone\\Child'), 0, 'the leaf goes');
    is(RegDeleteKey(HKEY_CURRENT_USER, 'Software\\Gone\\Child'), 2, 'then it is missing');
    is(RegSetValueEx($key, 'v', 0, REG_SZ, 'x', 0), -1, 'its handle fails');
    my $result;
    is(RegOpenKeyEx($key, '', 0, KEY_READ, $result), 1018, 'with ERROR_KEY_DELETED');
    RegCloseKey($key);
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_READ, $result), 0, 'KEY_READ');
    is(RegSetValueEx($result, 'v', 0, REG_SZ, 'x', 0), -1, 'cannot set values');
    is(RegDeleteValue($result, 'v'), 5, 'nor delete them (5)');
    RegCloseKey($result);
    is(RegOpenKeyEx(HKEY_CURRENT_USER, 'Software', 0, KEY_READ | 0x100, $result), 0,
       'KEY_WOW64_64KEY is accepted');
    RegCloseKey($result);
};

subtest 'roots' => sub {
    my $classes = create(HKEY_CLASSES_ROOT, '.lmxtest');
    RegSetValueEx($classes, '', 0, REG_SZ, 'LmxFile', 0);
    RegCloseKey($classes);
    my $result;
    is(RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Classes\\.LMXTEST', 0, KEY_READ, $result), 0,
       'HKCR is HKLM\\SOFTWARE\\Classes');
    is(query($result, '')->[2], 'LmxFile', 'with its values');
    RegCloseKey($result);
    my @hives;
    my ($name, $length);
    for (my $i = 0; RegEnumKeyEx(HKEY_USERS, $i, $name, $length, 0, 0, 0, 0) == 0; ++$i) {
        push @hives, $name;
    }
    is($hives[0], '.DEFAULT', 'HKU holds .DEFAULT');
    like($hives[1] // '', qr/^S-1-5-21-\d+-\d+-\d+-\d+$/, 'and the current user by SID');
    my $mine = create(HKEY_CURRENT_USER, 'Software\\Mine');
    RegCloseKey($mine);
    is(RegOpenKeyEx(HKEY_USERS, "$hives[1]\\Software\\Mine", 0, KEY_READ, $result), 0,
       'which is HKCU');
    RegCloseKey($result);
    is(RegSetValueEx(HKEY_LOCAL_MACHINE, 'v', 0, REG_SZ, 'x', 0), -1, 'HKLM itself holds no values');
};

subtest 'volatile keys are gone after a restart' => sub {
    my $key = create(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Session', REG_OPTION_VOLATILE);
    RegSetValueEx($key, 'pid', 0, REG_DWORD, $$, 0);
    RegCloseKey($key);
    my $result;
    is(RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Session', 0, KEY_READ, $result), 0,
       'there during this boot');
    RegCloseKey($result);
    LmxTest::Registry::sql("$store/machine.db",
                           "UPDATE reg_keys SET boot = 'a-boot-before' WHERE boot IS NOT NULL");
    is(RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Session', 0, KEY_READ, $result), 2,
       'gone once the boot id is another');
};

subtest 'ExpandEnvironmentStrings' => sub {
    local $ENV{LMX_TEST_VALUE} = 'expanded';
    my $out = 'old';
    is(ExpandEnvironmentStrings('a %LMX_TEST_VALUE% b %LMX_NOT_SET% c %lmx_test_value%', $out, 0),
       0, 'returns 0');
    is($out, 'a expanded b %LMX_NOT_SET% c expanded',
       'references replaced, unknown ones kept, names without regard to case');
    is(ExpandEnvironmentStrings('%LMX_TEST_VALUE%', 'literal', 0), 0, 'a read-only $dst');
    local $ENV{LMX_TEST_LONG} = 'x' x 40000;
    ExpandEnvironmentStrings('%LMX_TEST_LONG%', $out, 0);
    is($out, '', 'a result over 32,768 bytes is empty');
};

LmxTest::finish();
