package LMX::Install::Demo::Product;

# What the demo installer installs: the product's names, its registry code
# and where its pieces lie in the kit and in the installed tree (paths
# relative to the target directory).
use strict;
use warnings;

our %PRODUCT = (
    name        => 'Ryn Demo',
    version     => '1.0.0',
    publisher   => 'Norvik',
    code        => '{5B0C6F3E-2A71-4D8E-9C1F-7E4A2D3B6C10}',
    payload     => 'PAYLOAD.TGZ',               # in the kit, beside LMXINST.TGZ
    manifest    => 'share/ryndemo/MANIFEST',    # member of the payload
    program     => 'bin/ryndemo',
    uninstaller => 'bin/rynuninst',
    runtime_dir => 'install',
    record      => 'install/ryndemo.record',
    lock        => '.ryninst.lock',
);

sub title { return "$PRODUCT{name} $PRODUCT{version}" }

# The uninstall entry's key below HKLM or HKCU.
sub uninstall_key {
    return 'Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\' . $PRODUCT{code};
}

# The default target: /opt/ryndemo for root, ~/ryndemo for anyone else.
sub default_target {
    return '/opt/ryndemo' if $> == 0;
    return (defined $ENV{HOME} && length $ENV{HOME} ? $ENV{HOME} : '/tmp') . '/ryndemo';
}

1;
