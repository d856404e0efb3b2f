package LMX::Install::App::Report;

# What the runtime handed to a main sub: the configuration hash and the
# arguments left after the runtime options. The demo's main subs print it.
sub show {
    my ($title, @args) = @_;
    my $config = \%KALDOR::Install::Config;
    print "$title\n";
    print "configuration:\n";
    for my $key (sort keys %$config) {
        my $value = defined $config->{$key} ? $config->{$key} : '(undef)';
        print "  $key = $value\n";
    }
    print "arguments:", (@args ? join('', map { " [$_]" } @args) : ' (none)'), "\n";
    return 0;
}

1;
