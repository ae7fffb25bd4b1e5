// Runs the parseEnvelope block of README.md (argument 1) over envelopes as Pelorin writes
// them, hostile ones included.
const assert = require('assert');
const readme = require('fs').readFileSync(process.argv[2], 'utf8');
const block = /```js\n(\/\/ Returns \{body, headers, exact\}[\s\S]*?)```/.exec(readme);
assert(block, 'no parseEnvelope code block in the README');
const parseEnvelope = new Function(block[1] + '\nreturn parseEnvelope;')();

const headers = { 'content-type': 'text/plain', host: '127.0.0.1:9977' };
const envelope = body => '{    "body": ' + body
  + ',    "headers": {    "content-type": "text/plain",    "host": "127.0.0.1:9977"}}';
// [case, envelope, body, exact, headers (the two above when left out)]
const cases = [
  ['JSON body', envelope('{"n":1}'), { n: 1 }, true],
  ['query text', envelope('"door=open&room=lab"'), 'door=open&room=lab', true],
  ['empty body', envelope('""'), '', true],
  ['markup and non-ASCII stay text', envelope('"</script><b>é</b>"'), '</script><b>é</b>', true],
  ['bare quotation marks', envelope('"said "hi""'), 'said "hi"', false],
  ['a body that forges a member', envelope('"x", "z": ""'), 'x", "z": "', false],
  ['a body that forges a second body', envelope('"x", "body": "y"'), 'x", "body": "y', false],
  ['a body holding the headers marker', envelope('"a,    "headers": {}"'), 'a,    "headers": {}',
   false],
  ['a JSON body whose string lost its quotes', envelope('{"a":{"b":{c}}}'), '{"a":{"b":{c}}}',
   false],
  ['a quotation mark in a header value', '{    "body": "ok",    "headers": {    "x": "a"b"}}',
   'ok', false, {}],
];
let failed = 0;
for (const [name, text, body, exact, expectedHeaders = headers] of cases) {
  try {
    assert.deepStrictEqual(parseEnvelope(text), { body, headers: expectedHeaders, exact });
  } catch (e) {
    failed++;
    console.log(`FAIL: ${name}\n${e.message}`);
  }
}
console.log(`${cases.length - failed} of ${cases.length} envelopes read as expected`);
process.exit(failed ? 1 : 0);
