// Dials through the phone application with the Kestrova package, prints
// what the phone says, hangs up once it rings and ends.
//
//   dotnet run -- [name [number]]
using System;
using System.Threading.Tasks;
using Kestrova;

string name = args.Length > 0 ? args[0] : "Ann Example";
string number = args.Length > 1 ? args[1] : "+1 555 0100";

using var phone = new Phone();  // subscribes, starting the phone application
var ringing = new TaskCompletionSource<bool>();
phone.Notification += (sender, e) => {
    Console.WriteLine("phone says: " + e);
    if (e.Name == "call" && e.Arguments.Count > 0 && e.Arguments[0] == "ringing") ringing.TrySetResult(true);
};
phone.StatusChanged += (sender, e) =>
    Console.WriteLine("phone application: " + e.Status + (e.Error != null ? " (" + e.Error.Message + ")" : ""));
try {
    await phone.WhenSubscribed();
    await phone.DialAsync(name, number);
    await Task.WhenAny(ringing.Task, Task.Delay(TimeSpan.FromSeconds(10)));
    await phone.HangUpAsync();
    await Task.Delay(500);  // the call's last notifications
    return 0;
} catch (Exception error) when (error is ArgumentException || error is KestrovaException) {
    Console.WriteLine(error.Message);
    return 1;
}
