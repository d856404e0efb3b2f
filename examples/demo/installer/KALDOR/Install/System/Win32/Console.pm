package KALDOR::Install::System::Win32::Console;

# The console module is registered in the runtime; loading this file boots it.
bootstrap KALDOR::Install::System::Win32::Console;

1;
