# LMX::Install::System::Win32::Msinst over the registry's Uninstall key:
# enumeration, states, properties (with the buffer growing for long ones),
# result codes, and states compared with the constants as numbers.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish);
use LmxTest::Registry qw(fresh_store);

BEGIN {
    bootstrap KALDOR::Install::System::Win32::Registry;
    bootstrap LMX::Install::System::Win32::Msinst;
}
package LMX::Install::System::Win32::Msinst;
use Test::More;

LmxTest::Registry::fresh_store();
my $R = 'KALDOR::Install::System::Win32::Registry';
my $uninstall = 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall';

# An Uninstall entry: a key with the given values (a number is a DWORD).
sub entry {
    my ($name, %values) = @_;
    my ($key, $disposition);
    $R->can('RegCreateKeyEx')->(-2147483646, "$uninstall\\$name", 0, undef, 0, 0xF003F, undef,
                                $key, $disposition) == 0 or die "cannot create $name\n";
    for my $value (sort keys %values) {
        my $data = $values{$value};
        my $type = $data =~ /^\d+$/ ? 4 : 1;
        $R->can('RegSetValueEx')->($key, $value, 0, $type, $data, 0) == 0 or die "$value\n";
    }
    $R->can('RegCloseKey')->($key);
}

my $first = '{8B1E3F64-2D1A-4C5B-9E7F-0A1B2C3D4E5F}';
my $second = '{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}';
my $long = 'L' x 600;
entry($first, WindowsInstaller => 1, DisplayName => 'First Product', DisplayVersion => '1.2.3',
      Version => 16908291, PackageName => 'first.msi', Publisher => 'Someone', Long => $long);
entry($second, WindowsInstaller => 1, DisplayName => 'Second');
entry('{11111111-2222-3333-4444-555555555555}', DisplayName => 'Not by the installer');
entry('{22222222-3333-4444-5555-666666666666}', WindowsInstaller => 0);
entry('NotAProductCode', WindowsInstaller => 1);

subtest 'constants' => sub {
    is(INSTALLSTATE_UNKNOWN, '18446744073709551615', 'unknown is -1 as an unsigned number');
    is(INSTALLSTATE_INVALIDARG, '18446744073709551614', 'invalid argument is -2');
    is_deeply([INSTALLSTATE_ADVERTISED, INSTALLSTATE_ABSENT, INSTALLSTATE_DEFAULT], [1, 2, 5],
              'the other states');
    is_deeply([INSTALLPROPERTY_PACKAGENAME, INSTALLPROPERTY_VERSION, INSTALLPROPERTY_VERSIONSTRING,
               INSTALLPROPERTY_INSTALLEDPRODUCTNAME],
              [qw(PackageName Version VersionString InstalledProductName)], 'property names');
};

subtest 'enumerating products' => sub {
    my @products;
    my ($i, $product, $rc) = (0);
    while (($rc = MsiEnumProducts($i, $product)) == 0) {
        push @products, $product;
        ++$i;
    }
    is($rc, 259, 'ends with 259');
    is_deeply(\@products, [uc $second, $first],
              'the Windows Installer products only, in upper case, in registry order');
    is(MsiEnumProducts(2**32, $product), 259, 'an index beyond 32 bits is past the end');
    is(MsiEnumProducts(0), undef, 'wrong argument count');
};

subtest 'product states' => sub {
    is(MsiQueryProductState($first), INSTALLSTATE_DEFAULT, 'a registered product');
    is(MsiQueryProductState(lc $first), INSTALLSTATE_DEFAULT, 'in any case');
    my $unknown = MsiQueryProductState('{99999999-9999-9999-9999-999999999999}');
    ok($unknown == INSTALLSTATE_UNKNOWN, 'an unknown one compares equal to INSTALLSTATE_UNKNOWN');
    is($unknown, '18446744073709551615', 'delivered as an unsigned number');
    is(MsiQueryProductState('{11111111-2222-3333-4444-555555555555}'), INSTALLSTATE_UNKNOWN,
       'a key without WindowsInstaller = 1 is no installed product');
    is(MsiQueryProductState('NotAProductCode'), INSTALLSTATE_INVALIDARG, 'not a product code');
    is(MsiQueryProductState("$first\0x"), INSTALLSTATE_INVALIDARG, 'nor with a NUL after one');
    is(MsiQueryProductState(), undef, 'wrong argument count');
};

subtest 'product properties' => sub {
    my %expect = (InstalledProductName => 'First Product', VersionString => '1.2.3',
                  Version => '16908291', PackageName => 'first.msi', Publisher => 'Someone',
                  Long => $long);
    for my $property (sort keys %expect) {
        my $value;
        is(MsiGetProductInfo($first, $property, $value), 0, "$property found");
        is($value, $expect{$property}, "$property value");
    }
    my $value = 'old';
    is(MsiGetProductInfo($first, 'NoSuchProperty', $value), 1608, 'a missing property gives 1608');
    is(MsiGetProductInfo('{99999999-9999-9999-9999-999999999999}', INSTALLPROPERTY_VERSION,
                         $value), 1605, 'an unknown product 1605');
    is(MsiGetProductInfo('garbage', INSTALLPROPERTY_VERSION, $value), 87, 'not a product code 87');
    is(MsiGetProductInfo($first, 'Version'), undef, 'wrong argument count');
    eval { MsiGetProductInfo($first, 'Version', 'literal') };
    like($@, qr/read-only/, 'the value is written into the caller\'s variable');
};

LmxTest::finish();
