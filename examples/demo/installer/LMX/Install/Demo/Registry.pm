package LMX::Install::Demo::Registry;

# The product's uninstall entry, where Windows keeps such entries:
# HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\{code} for root,
# the same key below HKCU for anyone else.
use strict;
use warnings;
use LMX::Install::Demo::Product;

bootstrap KALDOR::Install::System::Win32::Registry;

{
    no strict 'refs';
    *{$_} = \&{"KALDOR::Install::System::Win32::Registry::$_"}
      for qw(RegOpenKeyEx RegCreateKeyEx RegSetValueEx RegQueryValueEx RegCloseKey RegDeleteKey
             HKEY_LOCAL_MACHINE HKEY_CURRENT_USER REG_SZ REG_DWORD KEY_READ KEY_ALL_ACCESS);
}
my %root = (HKLM => HKEY_LOCAL_MACHINE(), HKCU => HKEY_CURRENT_USER());

# The hive this user's installations are registered in.
sub own_hive { return $> == 0 ? 'HKLM' : 'HKCU' }

sub key_name { my ($hive) = @_; return "$hive\\" . LMX::Install::Demo::Product::uninstall_key() }

# The product's entry: (hive, InstallLocation) of the first hive that has
# one (HKLM, then HKCU), or the empty list.
sub find_entry {
    for my $hive ('HKLM', 'HKCU') {
        my $key;
        next if RegOpenKeyEx($root{$hive}, LMX::Install::Demo::Product::uninstall_key(), 0,
                             KEY_READ(), $key) != 0;
        my $location = '';
        RegQueryValueEx($key, 'InstallLocation', 0, undef, $location, undef);
        RegCloseKey($key);
        return ($hive, $location);
    }
    return;
}

# Creates the entry in HIVE with VALUES (name => string, or name => \number
# for a DWORD). Dies when the entry exists already or cannot be written;
# a half-written new entry is removed again.
sub create_entry {
    my ($hive, %values) = @_;
    my ($key, $disposition);
    RegCreateKeyEx($root{$hive}, LMX::Install::Demo::Product::uninstall_key(), 0, '', 0,
                   KEY_ALL_ACCESS(), undef, $key, $disposition) == 0
      or die "cannot create the registry key " . key_name($hive) . "\n";
    if ($disposition != 1) {
        RegCloseKey($key);
        die "the registry key " . key_name($hive) . " exists already\n";
    }
    for my $name (sort keys %values) {
        my $value = $values{$name};
        my $done = ref $value ? RegSetValueEx($key, $name, 0, REG_DWORD(), $$value, 4)
                              : RegSetValueEx($key, $name, 0, REG_SZ(), $value, 0);
        next if $done == 0;
        RegCloseKey($key);
        delete_entry($hive);
        die "cannot write the value $name of the registry key " . key_name($hive) . "\n";
    }
    RegCloseKey($key);
}

# Removes the entry from HIVE; the empty string when it is gone (or was
# never there), else why not.
sub delete_entry {
    my ($hive) = @_;
    my $code = RegDeleteKey($root{$hive}, LMX::Install::Demo::Product::uninstall_key());
    return '' if $code == 0 || $code == 2;
    return "cannot remove the registry key " . key_name($hive) . " (error $code)";
}

1;
