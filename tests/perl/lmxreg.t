# lmxreg: query, add and delete with types and data, its errors (one line,
# exit code 1), export and import of registry files, a file as Windows
# writes one (UTF-16LE) and the older and UTF-8 forms.
use strict;
use warnings;
use Test::More;
use Encode qw(encode decode);
use LmxTest qw(finish temp_dir write_file read_file);
use LmxTest::Registry qw(fresh_store lmxreg);
use LmxTest::Untgz ();

BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
my $R = 'KALDOR::Install::System::Win32::Registry';

sub ok_run {
    my (@args) = @_;
    my ($code, $out, $err) = lmxreg(\@args);
    is($code, 0, "lmxreg @args") or diag $err;
    return $out;
}

# The value as the registry module reads it: [type, data].
sub value_of {
    my ($path, $name) = @_;
    my ($key, $type, $data, $size);
    return undef if $R->can('RegOpenKeyEx')->(-2147483646, $path, 0, 0x20019, $key) != 0;
    my $rc = $R->can('RegQueryValueEx')->($key, $name, 0, $type, $data, $size);
    $R->can('RegCloseKey')->($key);
    return $rc == 0 ? [$type, $data] : undef;
}

fresh_store();
my $dir = temp_dir();

subtest 'add, query and delete' => sub {
    my $key = 'HKLM\\SOFTWARE\\Tool';
    ok_run('add', $key, '/v', 'Name', '/d', 'Some "quoted" text');
    ok_run('add', $key, '/v', 'Count', '/t', 'REG_DWORD', '/d', '0x2A');
    ok_run('add', $key, '/v', 'Big', '/t', 'REG_QWORD', '/d', '4294967296');
    ok_run('add', $key, '/v', 'List', '/t', 'REG_MULTI_SZ', '/d', 'one\\0two');
    ok_run('add', $key, '/v', 'Raw', '/t', 'REG_BINARY', '/d', '00ff7f');
    ok_run('add', "$key\\Sub", '/ve', '/t', 'reg_expand_sz', '/d', '%SystemRoot%\\x');
    is_deeply(value_of('SOFTWARE\\Tool', 'Count'), [4, 42], 'a DWORD as the module reads it');
    is_deeply(value_of('SOFTWARE\\Tool', 'List'), [7, ['one', 'two']], 'a list');
    is_deeply(value_of('SOFTWARE\\Tool\\Sub', ''), [2, '%SystemRoot%\\x'], 'the default value');
    is(ok_run('query', $key), <<'OUT', 'query shows values, then subkeys');

HKEY_LOCAL_MACHINE\SOFTWARE\Tool
    Name    REG_SZ    Some "quoted" text
    Count    REG_DWORD    0x2a
    Big    REG_QWORD    0x100000000
    List    REG_MULTI_SZ    one\0two
    Raw    REG_BINARY    00FF7F

HKEY_LOCAL_MACHINE\SOFTWARE\Tool\Sub

OUT
    like(ok_run('query', $key, '/s'), qr/\\Tool\\Sub\n    \(Default\)    REG_EXPAND_SZ    %SystemRoot%\\x\n/,
         'query /s goes down the tree');
    is(ok_run('query', $key, '/v', 'COUNT'), "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\n    Count    REG_DWORD    0x2a\n\n",
       'query /v one value');
    ok_run('delete', $key, '/v', 'Raw');
    is(value_of('SOFTWARE\\Tool', 'Raw'), undef, 'delete /v');
    ok_run('delete', $key, '/va');
    is(value_of('SOFTWARE\\Tool', 'Name'), undef, 'delete /va');
    ok_run('delete', $key);
    my ($code, undef, $err) = lmxreg(['query', $key]);
    is($code, 1, 'the tree is gone');
    is($err, "lmxreg: HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool: no such key or value\n", 'so says one line');
};

subtest 'errors' => sub {
    my @cases = (
        [[], qr/no command given/],
        [['frobnicate'], qr/unknown command/],
        [['query'], qr/a key is needed/],
        [['query', 'HKXY\\Software'], qr/unknown root key/],
        [['add', 'HKLM\\SOFTWARE\\E', '/v', 'n', '/t', 'REG_DWORD', '/d', '4294967296'], qr/no REG_DWORD number/],
        [['add', 'HKLM\\SOFTWARE\\E', '/v', 'n', '/t', 'REG_BINARY', '/d', 'abc'], qr/even number/],
        [['add', 'HKLM\\SOFTWARE\\E', '/v', 'n', '/t', 'REG_FANCY'], qr/unknown type/],
        [['add', 'HKLM\\SOFTWARE\\E', '/v'], qr/needs a value/],
        [['add', 'HKLM\\NotAHive'], qr/Access is denied/],
        [['add', 'HKLM\\SOFTWARE\\' . ('k' x 256)], qr/The parameter is incorrect/],
        [['delete', 'HKLM'], qr/a root key cannot be deleted/],
        [['import', "$dir/missing.reg"], qr/no such file/],
        [['query', 'HKLM\\SOFTWARE', '-x'], qr/not an option of query/],
    );
    for my $case (@cases) {
        my ($code, $out, $err) = lmxreg($case->[0]);
        my $what = join(' ', @{ $case->[0] }) || '(nothing)';
        is($code, 1, "$what: exit code 1");
        like($err, qr/\Almxreg: [^\n]*\n\z/, "$what: one line");
        like($err, $case->[1], "$what: says why");
    }
    my ($code, $out) = lmxreg(['--help']);
    is($code, 0, '--help');
    like($out, qr/lmxreg query KEY.*lmxreg add KEY.*lmxreg delete KEY.*lmxreg export KEY FILE.*lmxreg import FILE/s,
         'explains every command');
};

subtest 'export, then import into an empty store' => sub {
    my $key = 'HKLM\\SOFTWARE\\Round';
    ok_run('add', $key, '/ve', '/d', 'default');
    ok_run('add', $key, '/v', 'path\\with "quotes"', '/d', 'C:\\Program Files\\"x"');
    ok_run('add', $key, '/v', 'dword', '/t', 'REG_DWORD', '/d', '4294967295');
    ok_run('add', $key, '/v', 'qword', '/t', 'REG_QWORD', '/d', '1');
    ok_run('add', $key, '/v', 'long', '/t', 'REG_BINARY', '/d', '0123456789abcdef' x 40);
    ok_run('add', $key, '/v', 'empty', '/t', 'REG_BINARY');
    ok_run('add', $key, '/v', 'none', '/t', 'REG_NONE', '/d', '0a0b');
    ok_run('add', "$key\\Ünïcödé", '/v', 'text', '/t', 'REG_EXPAND_SZ', '/d', "%HOME%\\ü");
    ok_run('add', "$key\\Ünïcödé", '/v', 'list', '/t', 'REG_MULTI_SZ', '/d', 'α\\0β\\0');
    my $key_handle;
    $R->can('RegOpenKeyEx')->(-2147483646, 'SOFTWARE\\Round', 0, 0xF003F, $key_handle);
    $R->can('RegSetValueEx')->($key_handle, 'unterminated', 0, 1, 'no end', 6);
    $R->can('RegSetValueEx')->($key_handle, 'lines', 0, 1, "two\nlines", 0);
    $R->can('RegCloseKey')->($key_handle);
    ok_run('add', "$key\\Empty\\Deeper");

    ok_run('export', $key, "$dir/round.reg");
    my $file = read_file("$dir/round.reg");
    is(substr($file, 0, 2), "\xFF\xFE", 'UTF-16LE with a byte-order mark');
    my $text = decode('UTF-16LE', substr($file, 2));
    like($text, qr/\AWindows Registry Editor Version 5\.00\r\n\r\n\[HKEY_LOCAL_MACHINE\\SOFTWARE\\Round\]\r\n\@="default"\r\n/,
         'the header and the first key as Windows writes them');
    like($text, qr/\r\n"path\\\\with \\"quotes\\""="C:\\\\Program Files\\\\\\"x\\""\r\n/, 'quotes and backslashes escaped');
    like($text, qr/\r\n"dword"=dword:ffffffff\r\n/, 'a DWORD');
    like($text, qr/\r\n"long"=hex:01,23,[0-9a-f,]+,\\\r\n  [0-9a-f,]+/, 'long hex data wrapped');
    like($text, qr/\r\n"text"=hex\(2\):25,00,48,00,4f,00,4d,00,45,00,25,00,5c,00,fc,00,00,00\r\n/,
         'REG_EXPAND_SZ as UTF-16LE bytes');
    ok_run('export', $key, "$dir/round.reg", '/y');
    my ($code, undef, $err) = lmxreg(['export', $key, "$dir/round.reg"]);
    like($err, qr/exists already/, 'an existing file is kept without /y');

    my $first_store = $ENV{LMX_STORE_DIR};
    fresh_store();
    ok_run('import', "$dir/round.reg");
    ok_run('export', $key, "$dir/again.reg");
    is(read_file("$dir/again.reg"), $file, 'exporting the import gives the same file');
    is_deeply(value_of('SOFTWARE\\Round', 'unterminated'), [1, 'no end'], 'an unterminated string');
    is_deeply(value_of('SOFTWARE\\Round', 'lines'), [1, "two\nlines"], 'a string with a line break');
    is_deeply(value_of('SOFTWARE\\Round\\ÜNÏCÖDÉ', 'list'), [7, ['α', 'β']], 'a list of UTF-8 strings');
    my (undef, $tree) = lmxreg(['query', $key, '/s']);
    $ENV{LMX_STORE_DIR} = $first_store;
    my (undef, $original) = lmxreg(['query', $key, '/s']);
    is($tree, $original, 'the same keys, values and types');
};

subtest 'files written elsewhere' => sub {
    fresh_store();
    # As Windows writes them: UTF-16LE, CR LF, hex(2) and hex(7) in UTF-16LE,
    # continuation lines, comments, deletions.
    my $windows = <<'REG';
Windows Registry Editor Version 5.00

; exported from a test machine
[HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\Product]
@="Product"
"InstallDir"="C:\\Program Files\\Vendor"
"Level"=dword:00000003
"Env"=hex(2):25,00,50,00,52,00,4f,00,47,00,52,00,41,00,4d,00,46,00,49,00,4c,00,\
  45,00,53,00,25,00,00,00
"Parts"=hex(7):63,00,6f,00,72,00,65,00,00,00,65,00,78,00,74,00,72,00,61,00,00,\
  00,00,00
"Gone"="soon"
"Gone"=-

[HKEY_CURRENT_USER\Software\Vendor]
"Seen"=dword:00000001

[-HKEY_CURRENT_USER\Software\Vendor]
REG
    (my $crlf = $windows) =~ s/\n/\r\n/g;
    write_file("$dir/windows.reg", "\xFF\xFE" . encode('UTF-16LE', $crlf));
    ok_run('import', "$dir/windows.reg");
    my $p = 'SOFTWARE\\Vendor\\Product';
    is_deeply(value_of($p, ''), [1, 'Product'], 'the default value');
    is_deeply(value_of($p, 'InstallDir'), [1, 'C:\\Program Files\\Vendor'], 'an escaped string');
    is_deeply(value_of($p, 'Level'), [4, 3], 'dword:');
    is_deeply(value_of($p, 'Env'), [2, '%PROGRAMFILES%'], 'hex(2): over two lines');
    is_deeply(value_of($p, 'Parts'), [7, ['core', 'extra']], 'hex(7):');
    is(value_of($p, 'Gone'), undef, '"name"=- deletes');
    my ($code) = lmxreg(['query', 'HKCU\\Software\\Vendor']);
    is($code, 1, '[-KEY] deletes');

    write_file("$dir/old.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
                               . "\"Ansi\"=hex(2):41,42,00\n\"Text\"=\"caf\xC3\xA9\"\n");
    ok_run('import', "$dir/old.reg");
    is_deeply(value_of('SOFTWARE\\Old', 'Ansi'), [2, 'AB'], 'REGEDIT4: hex(2) in single bytes');
    is_deeply(value_of('SOFTWARE\\Old', 'Text'), [1, "caf\xC3\xA9"], 'UTF-8 text');
    write_file("$dir/bom.reg", "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
                               . "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Utf8]\n\"n\"=dword:10\n");
    ok_run('import', "$dir/bom.reg");
    is_deeply(value_of('SOFTWARE\\Utf8', 'n'), [4, 16], 'UTF-8 with a byte-order mark');

    my %bad = (
        'header.reg' => ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n", qr/not a registry file/],
        'value.reg' => ["REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad]\n\"a\"=dword:1\n\"b\"=hex:zz\n",
                        qr/line 5: malformed hex data/],
        'root.reg' => ["REGEDIT4\n\n[HKEY_NOWHERE\\X]\n", qr/line 3: unknown root key/],
        'outside.reg' => ["REGEDIT4\n\n\"a\"=\"b\"\n", qr/line 3: a value outside a key/],
        'odd.reg' => ["\xFF\xFEW\0x", qr/odd number of bytes/],
        'dword.reg' => ["REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad]\n\"a\"=dword:123456789\n",
                        qr/line 3: malformed dword/],
    );
    for my $name (sort keys %bad) {
        write_file("$dir/$name", $bad{$name}[0]);
        my ($code, undef, $err) = lmxreg(['import', "$dir/$name"]);
        is($code, 1, "$name: refused");
        like($err, $bad{$name}[1], "$name: says where and why");
    }
    is(value_of('SOFTWARE\\Bad', 'a'), undef, 'a bad file changes nothing');
};

subtest 'a relative LMX_STORE_DIR is taken from where the program was started' => sub {
    my $caller = temp_dir();
    my %from_caller = (cwd => $caller, env => { LMX_STORE_DIR => 'store' });
    my ($code) = lmxreg(['add', 'HKLM\\SOFTWARE\\Relative', '/v', 'n', '/d', 'here'], %from_caller);
    is($code, 0, 'lmxreg writes it');
    ok(-f "$caller/store/machine.db", 'below the caller\'s directory');
    my ($rc, $out) = LmxTest::Untgz::run_script(<<'PL', %from_caller);
BEGIN { bootstrap KALDOR::Install::System::Win32::Registry; }
package KALDOR::Install::System::Win32::Registry;
my ($key, $type, $data, $size);
RegOpenKeyEx(HKEY_LOCAL_MACHINE, 'SOFTWARE\\Relative', 0, KEY_READ, $key);
RegQueryValueEx($key, 'n', 0, $type, $data, $size);
print "$data\n";
0;
PL
    is($out, "here\n", 'and the runtime, which changes into its own directory, reads the same store');
};

LmxTest::finish();
