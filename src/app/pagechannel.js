// Pelorin's side of the page channel. It runs inside one closure right after Qt's
// qwebchannel.js, so its names stay out of the page's globals. `channel` is the PageChannel
// object as the page sees it.
var channel = null;
var waiting = []; // calls made before the channel is up
var parsed = document.readyState !== 'loading';
var parse = JSON.parse, stringify = JSON.stringify, resolve = Promise.resolve.bind(Promise);
var now = performance.now.bind(performance);
function call(name, args) {
    if (channel)
        channel[name].apply(channel, args);
    else
        waiting.push([name, args]);
}
function reportReady() {
    if (channel && parsed)
        channel.documentReady(typeof PEL_listener === 'function',
                              typeof PEL_receive === 'function');
}
function messageOf(error) {
    return String(error instanceof Error ? error.message : error);
}
function send(value) {
    var json = stringify(value);
    if (typeof json !== 'string')
        throw new TypeError('pelorin.send: ' + typeof value + ' cannot be sent as JSON');
    call('publish', [json]);
}
// Called by Pelorin with one request as JSON text; answers it when its caller waits.
function receive(text, wantsAnswer) {
    var request = parse(text);
    var id = request.id;
    var result;
    try {
        result = PEL_receive(request);
    } catch (error) {
        if (!wantsAnswer)
            throw error;
        call('fail', [id, messageOf(error)]);
        return;
    }
    if (!wantsAnswer)
        return;
    resolve(result).then(function (value) {
        var json;
        try {
            json = stringify(value === undefined ? null : value);
        } catch (error) {
            call('fail', [id, messageOf(error)]);
            return;
        }
        call('answer', [id, typeof json === 'string' ? json : 'null']);
    }, function (error) {
        call('fail', [id, messageOf(error)]);
    });
}
// Delivery scripts from Pelorin are `if (pelorin.begin(first)) {calls} pelorin.end(last)`, with
// first and last the numbers of their messages, which only grow in a window. The highest number
// run is kept in sessionStorage, which outlives the document through reloads (whoever starts
// them) and navigations back: a script that an earlier document ran is skipped by the next one.
// end()'s value tells Pelorin what happened: the milliseconds the calls took, -1 when they had
// run before, -2 when the document was not parsed yet and ran nothing.
var markKey = 'pelorin.delivered';
var storage = null; // none for an opaque origin: this document's memory is all there is then
try {
    storage = sessionStorage;
} catch (error) {
}
var delivered = Math.max(0, Number(storage && storage.getItem(markKey)) || 0);
var started = 0;
var skipped = 0;
function begin(first) {
    skipped = !parsed ? -2 : first <= delivered ? -1 : 0;
    started = now();
    return skipped === 0;
}
function end(last) {
    if (skipped)
        return skipped;
    delivered = last;
    try {
        if (storage)
            storage.setItem(markKey, String(last));
    } catch (error) {
        // full: this document still skips what it ran
    }
    return now() - started;
}
var pelorin = {};
Object.defineProperty(pelorin, 'send', {value: send, enumerable: true});
Object.defineProperty(pelorin, 'receive', {value: receive});
Object.defineProperty(pelorin, 'begin', {value: begin});
Object.defineProperty(pelorin, 'end', {value: end});
Object.defineProperty(window, 'pelorin', {value: Object.freeze(pelorin), enumerable: true});
var webChannel = new QWebChannel(qt.webChannelTransport, function (ready) {
    channel = ready.objects.pelorin;
    waiting.splice(0).forEach(function (c) { channel[c[0]].apply(channel, c[1]); });
    reportReady();
});
// The application's channel outlives documents: a reply to a call that the document before
// this one made can arrive here, with no callback waiting for it.
var handleResponse = webChannel.handleResponse;
webChannel.handleResponse = function (message) {
    if (typeof webChannel.execCallbacks[message.id] === 'function')
        handleResponse(message);
};
if (!parsed) {
    document.addEventListener('DOMContentLoaded', function () {
        parsed = true;
        reportReady();
    });
}
