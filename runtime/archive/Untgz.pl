# The Perl half of KALDOR::Install::Untgz, evaluated by the module's boot
# right after its native functions are registered: evaluation of entry data,
# the test run's usage summary, and the build and version information of
# entries through the modules that provide it. The lines below report under
# their own line numbers as lmxrun/Untgz.pl; no pragma is set at file level,
# so that evaluated entry data compiles as it would on its own.

package KALDOR::Install::Untgz;

# Evaluates the current entry's data as Perl code: 0, or undef with the
# reasons added to the error list.
sub ExtractEval {
    my ($self) = @_;
    my ($status, $code);
    {
        local $SIG{__WARN__} = sub { };
        $status = ExtractScalar($self, $code);
    }
    if (!defined $status || $status != 0) {
        ErrAdd($self, "cannot eval extracted data");
        return undef;
    }
    eval $code;
    if ($@) {
        ErrAdd($self, $@);
        ErrAdd($self, "cannot eval extracted data");
        return undef;
    }
    return 0;
}

# The filesystem usage created during a test run of the extraction of an
# archive, as a list of hash references, one per filesystem:
#   FSNAME  the mount point or drive name
#   USED    kilobytes that the installation will replace
#   NEEDED  kilobytes that the installation will use in all
# (The size and free space of a filesystem, TOTAL and AVAIL, come from
# KALDOR::Install::FSUsage; these hashes do not contain them.)
sub GetFSUsage {
    my ($self) = @_;
    my $count = FetchFSUsage($self);
    return () unless $count;
    return map { my %usage = FetchFSUsage($self, $_); \%usage } 0 .. $count - 1;
}

sub ExtractBuildInfo {
    my ($self) = @_;
    my $build_info = LMX::Common::ModuleSub('KALDOR::Install::BuildInfo::GetBuildInfo') or return undef;
    return $build_info->($self);
}

sub ExtractMagic {
    my ($self) = @_;
    my $build_info = LMX::Common::ModuleSub('KALDOR::Install::BuildInfo::GetBuildInfo') or return undef;
    my $info = $build_info->($self);
    return ref $info eq 'HASH' ? $info->{magic} : undef;
}

sub ExtractSysVersionInfo {
    my ($self) = @_;
    return '' unless $^O =~ /mswin/i;
    my $version_info = LMX::Common::ModuleSub('KALDOR::Install::System::Win32::VersionInfo::SysVersionInfo')
      or return '';
    return $version_info->($self);
}

1;
