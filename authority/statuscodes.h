#pragma once
// The authority's answer codes (cStat) and their official texts (xMotivo), as
// the taxpayer's guidance manual lists them.
#include <QString>

namespace zavauthority {

enum StatusCode {
    AuthorisedUse = 100,
    CancellationApproved = 101,
    ServiceInOperation = 107,
    ServicePausedShortly = 108,
    ServicePausedIndefinitely = 109,
    DeniedUse = 110,
    BatchProcessed = 128,
    EventLinked = 135,
    LateCancellation = 155,
    CnpjBaseDiffers = 213,
    SchemaFailure = 215,
    NotInDatabase = 217,
    ProtocolDiffers = 222,
    BadCheckDigit = 236,
    EnvironmentDiffers = 252,
    SignatureDiffers = 297,
    SigningCertificateWithoutCnpj = 292,
    SignatureNotStandard = 298,
    AlreadyCancelled = 420,
    OrganDiffersFromKey = 455,
    OutOfTerm = 501,
    BadEventId = 572,
    DuplicateEvent = 573,
    AuthorDiffers = 574,
    EventAfterProcessing = 578,
    EventBeforeAuthorisation = 579,
    RequiresAuthorisedNfe = 580,
    EditCharacters = 588,
    ExcessiveUse = 656,
    UncataloguedError = 999,
};

class StatusCodes {
public:
    // The official text of the code; detail, when given, is added in
    // brackets and the whole cut to the 255 characters xMotivo holds.
    static QString text(int code, const QString& detail = QString());
};

} // namespace zavauthority
